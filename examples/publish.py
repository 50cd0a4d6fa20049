"""Publish text and bytes at each quality of service.

    python examples/publish.py 127.0.0.1:1883
"""
import sys

import tarnu_sdk

client = tarnu_sdk.SDK()
client.init("publish-example", sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883",
            "tcp", "", "")
if not client.connect():
    sys.exit(1)
client.publish("demo/text", "plain text, sent as UTF-8")           # QoS 0: returns at once
client.publish("demo/bytes", b"\x00\x01\x02 raw bytes", qos=1)     # waits for the broker's ack
client.publish("demo/status", "online", qos=1, retained=True)      # kept for later subscribers
client.publish("demo/bad", "x", qos=3)  # refused: "[SDK] publish failed on 'demo/bad', rc=-9"
client.stop()  # disconnects first
