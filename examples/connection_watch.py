"""Watch the connection state while the broker goes away and comes back.

    python examples/connection_watch.py 127.0.0.1:1883 [SECONDS]

After a loss the client reconnects by itself: first at once, then after waits of
1, 2, 4... seconds, capped by maxReconnectInterval.
"""
import sys
import threading

import tarnu_sdk

broker = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
back = threading.Event()
losses = 0


def on_connection(connected: bool, code: int) -> None:
    global losses
    print(f"-> connected={connected} code={code}")
    if not connected and code == -1:
        losses += 1
    elif connected and losses:
        back.set()


client = tarnu_sdk.SDK()
client.init("watcher", broker, "tcp", "", "", maxReconnectInterval=4)
client.on_connection(on_connection)
if not client.connect():
    sys.exit(1)
print(f"waiting up to {seconds:.0f}s for the broker to go away and come back")
back.wait(seconds)
client.stop()
sys.exit(0 if back.is_set() else 1)
