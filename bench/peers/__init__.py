"""The client libraries bench/workers.py drives, one module each, and what they share.

Each sync peer (tarnu_peer, paho_peer, awscrt_peer) is a class with the same small
interface, driven by the modes in bench/workers.py; gmqtt is asyncio throughout, so
gmqtt_peer has the same modes of its own, written as a gmqtt application would.
"""
