#!/usr/bin/env python3
"""Writes the seed inputs of server_datagram_fuzzer into corpus/server_datagram_fuzzer/.

An input is a list of records: one header byte, a 16-bit little-endian
length, the datagram. Header bits: 0 socket (0 main, 1 extra); 1-2 source
address (127.0.0.1, 127.0.0.2, 203.0.113.7, 198.51.100.1); 3-4 source port
(40000, 40001, 50000, 65535); 5-7 clock step (0, 1 ms, 1 s, ttl/2, ttl - 1 ns,
ttl, ttl + 1 s, 10 ttl). The fuzzer's table hands out ids 1, 2, 3, ...
"""
import os

MAIN, EXTRA = 0, 1


def record(data, socket=MAIN, address=0, port=0, step=0):
    data = data.encode() if isinstance(data, str) else data
    header = socket | (address << 1) | (port << 3) | (step << 5)
    return bytes([header, len(data) & 0xFF, len(data) >> 8]) + data


def init(port=0):
    return record('{"command":"INIT","local_port":40000,"protocol":"Punchprobe"}\n', port=port)


def init2(session, port=1, address=0, socket=MAIN):
    return record('{"command":"INIT2","local_port_alt":40001,"protocol":"Punchprobe","session_id":%d}\n'
                  % session, socket=socket, address=address, port=port)


def start(session, port=1, address=0):
    return record('{"command":"START","protocol":"Punchprobe","session_id":%d}\n' % session,
                  address=address, port=port)


def ping(session, port=0, address=0, socket=EXTRA, step=0):
    return record('{"command":"PING","protocol":"Punchprobe","session_id":%d}\n' % session,
                  socket=socket, address=address, port=port, step=step)


seeds = {
    "whole_exchange": init() + init2(1) + start(1) + ping(1),
    "dependent_mapping": init() + init2(1) + start(1) + ping(1, port=2),
    "second_ping": init() + init2(1) + start(1) + ping(1) + ping(1),
    "stranger": init() + init2(1, address=2) + start(1, address=3) + ping(1, address=1),
    "wrong_sockets": init() + init2(1, socket=EXTRA) + ping(1, socket=MAIN),
    "unknown_session": init() + start(2) + ping(7),
    "eviction": init() * 5 + init2(1) + start(2),
    "expiry": init() + record('{"command":"START","session_id":1}', step=6) + ping(1, step=5),
    "oversized": init() + record(b'{"command":"START","session_id":1,"pad":"' + b"x" * 1100 + b'"}'),
    "deep_nesting": record(b"[" * 100 + b"]" * 100) + record(b'{"a":' * 40 + b"1" + b"}" * 40),
    "wrong_types": init() + record('{"command":"START","session_id":"1"}')
                   + record('{"command":"START","session_id":1.0}')
                   + record('{"command":"START","session_id":4294967297}'),
    "not_json": record("hello") + record("") + record("// c\n{\"command\":\"INIT\"}")
                + record('{"command":"INIT"} trailing'),
}

directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "server_datagram_fuzzer")
os.makedirs(directory, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(directory, name), "wb") as seed:
        seed.write(data)
