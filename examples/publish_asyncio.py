"""Publish many QoS 1 messages from asyncio, with one client.

    python examples/publish_asyncio.py 127.0.0.1:1883 [COUNT]

The client's methods block, so a coroutine runs each call in a worker thread with
asyncio.to_thread; the call releases the interpreter lock while it waits for its
acknowledgement, and the event loop goes on. With 64 such calls at a time (the
messages one client keeps in flight) the rate follows the link, not one round trip.
Messages arrive on the client's event thread; call_soon_threadsafe hands them to the loop.
"""
import asyncio
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import tarnu_sdk

IN_FLIGHT = 64
client = tarnu_sdk.SDK()


async def main(broker: str, count: int) -> int:
    loop = asyncio.get_running_loop()
    # asyncio.to_thread runs calls on the loop's default executor: one thread for each
    # call that may wait at the same time.
    loop.set_default_executor(ThreadPoolExecutor(max_workers=IN_FLIGHT))
    arrived, all_arrived = [0], asyncio.Event()

    def count_one() -> None:  # on the loop
        arrived[0] += 1
        if arrived[0] == count:
            all_arrived.set()

    client.init("asyncio-publisher", broker, "tcp", "", "")
    client.on_message(lambda topic, payload: loop.call_soon_threadsafe(count_one))
    if not await asyncio.to_thread(client.connect):
        return 1
    await asyncio.to_thread(client.subscribe, "demo/asyncio", 1)

    slots = asyncio.Semaphore(IN_FLIGHT)

    async def publish(n: int) -> None:
        async with slots:
            await asyncio.to_thread(client.publish, "demo/asyncio", f"message {n}", 1)

    started = time.perf_counter()
    await asyncio.gather(*(publish(n) for n in range(count)))
    elapsed = time.perf_counter() - started
    print(f"{count} QoS 1 messages acknowledged in {elapsed:.2f} s ({count / elapsed:,.0f} msg/s)")
    try:
        await asyncio.wait_for(all_arrived.wait(), 10)
    except TimeoutError:
        pass
    print(f"{arrived[0]} of {count} came back to the subscription")
    await asyncio.to_thread(client.stop)
    return 0 if all_arrived.is_set() else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883",
                              int(sys.argv[2]) if len(sys.argv) > 2 else 2000)))
