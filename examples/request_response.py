"""Answer requests from inside a message handler.

    python examples/request_response.py 127.0.0.1:1883

A handler may call any method of its own client: here it publishes the reply (QoS 1,
so it waits for the broker's acknowledgement) without blocking message delivery.
"""
import queue
import sys

import tarnu_sdk

broker = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883"
replies: queue.Queue[str] = queue.Queue()

server = tarnu_sdk.SDK()
server.init("responder", broker, "tcp", "", "")


def answer(topic: str, payload: str) -> None:
    server.publish("demo/replies", f"{payload.upper()}!", qos=1)


server.on_message(answer)

caller = tarnu_sdk.SDK()
caller.init("requester", broker, "tcp", "", "")
caller.on_message(lambda topic, payload: replies.put(payload))

if not (server.connect() and caller.connect()):
    sys.exit(1)
server.subscribe("demo/requests", qos=1)
caller.subscribe("demo/replies", qos=1)
for question in ("ping", "hello", "bye"):
    caller.publish("demo/requests", question, qos=1)
    print(f"{question} -> {replies.get(timeout=5)}")
caller.stop()
server.stop()
