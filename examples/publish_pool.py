"""Publish many QoS 1 messages from a thread pool that shares one client.

    python examples/publish_pool.py 127.0.0.1:1883 [COUNT]

Each publish waits for its own acknowledgement, and only for its own: the calls of the
pool's threads are in flight together (up to 64 messages per client), so over a link
with a round trip of 20 ms, 64 threads publish many times as fast as one (`make bench
BENCH_ARGS="--only rtt"` measures it). The calls release the interpreter lock while
they wait; a thread's messages keep their order.
"""
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import tarnu_sdk

broker = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
arrived, all_arrived = 0, threading.Event()


def on_message(topic: str, payload: str) -> None:
    global arrived
    arrived += 1  # handlers run one at a time, on the client's event thread
    if arrived == count:
        all_arrived.set()


client = tarnu_sdk.SDK()
client.init("pool-publisher", broker, "tcp", "", "")
client.on_message(on_message)
if not client.connect() or not client.subscribe("demo/pool", qos=1):
    sys.exit(1)

started = time.perf_counter()
with ThreadPoolExecutor(max_workers=64) as pool:
    # map() returns the calls' results in order; list() waits for the last of them.
    list(pool.map(lambda n: client.publish("demo/pool", f"message {n}", qos=1), range(count)))
elapsed = time.perf_counter() - started
print(f"{count} QoS 1 messages acknowledged in {elapsed:.2f} s ({count / elapsed:,.0f} msg/s)")
print(f"{arrived if all_arrived.wait(10) else arrived} of {count} came back to the subscription")
client.stop()
sys.exit(0 if all_arrived.is_set() else 1)
