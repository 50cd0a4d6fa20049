"""gmqtt, asyncio throughout: the same modes as bench/workers.py, each one coroutine
on one event loop, as a gmqtt application would write them.

gmqtt.Client.publish() returns nothing, and no future tells when a QoS 1 message is
acknowledged. What gmqtt does have is its in-flight store: publish() puts each QoS
1/2 packet there under its message id, and the PUBACK handler takes it out. The
store is a constructor argument (persistent_storage=), so the peer hands gmqtt a
store that also keeps one future per message id and resolves it when the id leaves
the store: a publish is complete exactly when gmqtt itself considers it acknowledged.

MQTT 3.1.1, as every other client in the benchmark (gmqtt's default is 5.0).
"""
from __future__ import annotations

import argparse
import asyncio
import sys
import threading
import time

from .common import (WAIT_S, Tally, connect_result, latency_result, publish_result,
                     subscribe_result)


def transport(o: argparse.Namespace) -> dict:
    """Client.connect() arguments for the run's URL scheme."""
    if o.scheme != "tcp":
        sys.exit(f"gmqtt: scheme {o.scheme!r} is not wired up in the benchmark")
    return {"ssl": False}


def acked_store():
    """gmqtt's own in-flight store, which also resolves a future per message id when
    that id leaves it (the PUBACK), or fails them all when gmqtt clears it."""
    from gmqtt.storage import PersistentStorage

    class AckedStore(PersistentStorage):
        def __init__(self):
            super().__init__()
            self.acks: dict[int, asyncio.Future] = {}
            self.last_mid: int | None = None

        def push_message(self, mid, raw_package):
            super().push_message(mid, raw_package)
            self.last_mid = mid
            if mid not in self.acks:  # (pushed again when a PUBREL replaces a PUBLISH)
                self.acks[mid] = asyncio.get_running_loop().create_future()

        def remove_message_by_mid(self, mid):
            super().remove_message_by_mid(mid)
            ack = self.acks.pop(mid, None)
            if ack is not None and not ack.done():
                ack.set_result(None)

        def clear(self):
            super().clear()
            acks, self.acks = self.acks, {}
            for ack in acks.values():
                if not ack.done():
                    ack.set_exception(ConnectionError("gmqtt dropped its in-flight store"))

    return AckedStore()


class Peer:
    def __init__(self, o: argparse.Namespace, client_id: str | None = None):
        import gmqtt
        from gmqtt.mqtt.constants import MQTTv311

        self.o, self.version = o, MQTTv311
        self.store = acked_store()
        self.c = gmqtt.Client(client_id or o.id, clean_session=True,
                              persistent_storage=self.store)
        self.subscribed = asyncio.Event()
        self.c.on_subscribe = lambda *args: self.subscribed.set()

    def on_message(self, handler) -> None:
        def on_message(client, topic, payload, qos, properties):
            handler(topic, payload.decode())
            return 0  # the reason code of an acknowledgement (none at QoS 0)

        self.c.on_message = on_message

    async def connect(self) -> None:
        async with asyncio.timeout(WAIT_S):
            await self.c.connect(self.o.host, self.o.port, keepalive=30,
                                 version=self.version, **transport(self.o))

    async def subscribe(self, topic: str) -> None:
        self.c.subscribe(topic, qos=0)
        async with asyncio.timeout(WAIT_S):
            await self.subscribed.wait()

    def publisher(self):
        """publish(topic, payload) at QoS 0, which returns once the packet is handed
        to the transport (gmqtt has no write back-pressure: what the socket does not
        take at once waits in the transport's buffer)."""
        publish = self.c.publish
        return lambda topic, payload: publish(topic, payload, 0)

    def confirmer(self):
        """async confirm(topic, payload): a QoS 1 publish, complete when its message id
        has left gmqtt's in-flight store."""
        publish, store = self.c.publish, self.store

        async def confirm(topic: str, payload: str) -> None:
            publish(topic, payload, 1)
            async with asyncio.timeout(WAIT_S):
                await store.acks[store.last_mid]

        return confirm

    async def disconnect(self) -> None:
        async with asyncio.timeout(WAIT_S):
            await self.c.disconnect()  # returns once the transport has closed


async def run_publish(o: argparse.Namespace, qos: int) -> None:
    c = Peer(o)
    await c.connect()
    confirm = c.confirmer()
    payload = "x" * o.payload
    topic = o.topic
    if qos == 0:
        publish = c.publisher()
        for _ in range(o.warmup):
            publish(topic, payload)
        cpu_start = time.process_time()
        start = time.perf_counter()
        for _ in range(o.count):
            publish(topic, payload)
        # The completion of a QoS 1 message after them: everything has left the client.
        await confirm(topic, payload)
    else:
        for _ in range(o.warmup):
            await confirm(topic, payload)
        cpu_start = time.process_time()
        start = time.perf_counter()
        for _ in range(o.count):
            await confirm(topic, payload)
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    await c.disconnect()
    publish_result(o, elapsed, cpu)


async def run_flight(o: argparse.Namespace) -> None:
    """--warmup awaited QoS 1 publishes, then --count published one after the other
    without waiting (gmqtt keeps no window: all go out at once), timed until gmqtt has
    taken every one of them out of its in-flight store."""
    c = Peer(o)
    await c.connect()
    confirm = c.confirmer()
    payload = "x" * o.payload
    topic = o.topic
    for _ in range(o.warmup):
        await confirm(topic, payload)
    publish, store = c.c.publish, c.store
    acks = []
    cpu_start = time.process_time()
    start = time.perf_counter()
    for _ in range(o.count):
        publish(topic, payload, 1)
        acks.append(store.acks[store.last_mid])
    async with asyncio.timeout(WAIT_S):
        await asyncio.gather(*acks)
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    await c.disconnect()
    publish_result(o, elapsed, cpu)


async def run_subscribe(o: argparse.Namespace) -> None:
    tally = Tally(o.count, o.rss_warmup)
    c = Peer(o)
    # The handler runs on the event loop: with --hold it blocks the loop, so nothing
    # is read meanwhile and the backlog waits in the socket and the broker.
    c.on_message(tally.handler(bool(o.hold)))
    await c.connect()
    await c.subscribe(o.topic)
    cpu_start = [time.process_time()]
    print("READY", flush=True)
    if o.hold:
        # The go-ahead comes while the loop may be held by the handler, so it is read
        # on a thread of its own.
        def go_ahead() -> None:
            if sys.stdin.readline():
                cpu_start[0] = time.process_time()
                tally.release()

        threading.Thread(target=go_ahead, daemon=True).start()
    check = tally.still_waiting(o)
    while check():
        await asyncio.sleep(0.1)
    cpu = time.process_time() - cpu_start[0]
    subscribe_result(o, tally, cpu)
    await c.disconnect()


async def run_latency(o: argparse.Namespace) -> None:
    total = o.warmup + o.count
    tally = Tally(total, 0)
    latencies: list[int] = []
    monotonic_ns = time.monotonic_ns  # CLOCK_MONOTONIC, as native_ceiling's clock

    def handler(topic: str, payload: str) -> None:
        latencies.append(monotonic_ns() - int(payload[:20]))
        tally.received += 1
        if tally.received == total:
            tally.done.set()

    c = Peer(o)
    c.on_message(handler)
    await c.connect()
    await c.subscribe(o.topic)
    publish = c.publisher()
    interval = 1.0 / (o.rate if o.rate > 0 else 1000.0)
    pad = "x" * max(o.payload - 20, 4)
    topic = o.topic
    start = time.monotonic()
    for i in range(total):
        # Sleeping on the loop is what lets gmqtt read and deliver meanwhile.
        await asyncio.sleep(max(start + i * interval - time.monotonic(), 0))
        publish(topic, f"{monotonic_ns():020d}" + pad)
    check = tally.still_waiting(o)
    while check():
        await asyncio.sleep(0.01)
    await c.disconnect()
    latency_result(o, tally.received, latencies)


async def run_connect(o: argparse.Namespace) -> None:
    """As workers.run_connect: a client of its own for each cycle, connect timed until
    a first QoS 1 publish is acknowledged, disconnect timed on its own."""
    payload = "x" * o.payload
    connects: list[float] = []
    disconnects: list[float] = []
    for i in range(o.warmup + o.count):
        c = Peer(o, f"{o.id}-{i}")
        confirm = c.confirmer()
        t0 = time.perf_counter()
        await c.connect()
        await confirm(o.topic, payload)
        t1 = time.perf_counter()
        await c.disconnect()
        t2 = time.perf_counter()
        if i >= o.warmup:
            connects.append(t1 - t0)
            disconnects.append(t2 - t1)
    connect_result(o, connects, disconnects)


def main(o: argparse.Namespace) -> None:
    if o.mode in ("pub", "pub1"):
        run = run_publish(o, 0 if o.mode == "pub" else 1)
    elif o.mode == "pub1flight":
        run = run_flight(o)
    elif o.mode == "pub1threads":
        sys.exit("gmqtt: pub1threads does not apply to an asyncio client")
    elif o.mode == "sub":
        run = run_subscribe(o)
    elif o.mode == "latency":
        run = run_latency(o)
    else:
        run = run_connect(o)
    asyncio.run(run)
