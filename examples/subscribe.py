"""Subscribe to a filter and print what arrives.

    python examples/subscribe.py 127.0.0.1:1883 [SECONDS]
"""
import sys
import time

import tarnu_sdk

broker = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 2.0

client = tarnu_sdk.SDK()
client.init("subscribe-example", broker, "tcp", "", "")
# Called on the client's event thread, one message at a time, in arrival order.
client.on_message(lambda topic, payload: print(f"{topic}: {payload}"))
if not client.connect():
    sys.exit(1)
client.subscribe("demo/#", qos=1)
client.publish("demo/hello", "a message to ourselves", qos=1)
time.sleep(seconds)
client.unsubscribe("demo/#")
client.stop()
