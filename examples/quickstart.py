"""Connect, subscribe, publish, receive, and shut down.

    python examples/quickstart.py 127.0.0.1:1883
"""
import sys
import threading

import tarnu_sdk

broker = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883"
received = threading.Event()


def on_message(topic: str, payload: str) -> None:
    # Runs on the client's event thread, in arrival order.
    print(f"received {payload!r} on {topic}")
    received.set()


def on_connection(connected: bool, code: int) -> None:
    print(f"connection state: connected={connected} code={code}")


client = tarnu_sdk.SDK()
client.init("quickstart", broker, "tcp", "", "")
client.on_message(on_message)
client.on_connection(on_connection)

if not client.connect():
    sys.exit(1)
print("is_connected:", client.is_connected())
client.subscribe("demo/greetings", qos=1)
client.publish("demo/greetings", "hello from tarnu_sdk", qos=1)
if not received.wait(timeout=5):
    print("no message arrived")
    sys.exit(1)
client.disconnect()
client.stop()
