#!/usr/bin/env python3
"""Writes the seed inputs of server_datagram_fuzzer into corpus/server_datagram_fuzzer/.

An input is a list of records: one header byte, a 16-bit little-endian
length, the datagram. Header bits: 0 socket (0 main, 1 extra); 1-4 source
(the fuzzer's `sources`, named below); 5-6 clock step (0, 500 ms, one cookie
slot of 10 s, the 60 s session ttl); 7 put the id of the latest INIT reply in
place of the datagram's session_id number. Ids are cookies that the server
computes, so the seeds get theirs through bit 7 rather than writing them.

Stale seeds are removed: the directory holds exactly what this script writes.
"""
import os

MAIN, EXTRA = 0, 1

# Indices into the fuzzer's source table.
A = 0            # 203.0.113.7:40000, client A's primary socket
A_ALT = 1        # 203.0.113.7:40001
A_HIGH = 2       # 203.0.113.7:65535
B = 3            # 198.51.100.1:40000
B_LOW = 4        # 198.51.100.1:1024
HOST = 5         # 127.0.0.1:40000, a client on the server's address
OTHER_LOOP = 6   # 127.0.0.2:30000
A_EXTRA = 7      # 203.0.113.7:30001
OWN_MAIN = 8     # 127.0.0.1:30000, the server's main socket
OWN_EXTRA = 9    # 127.0.0.1:30001, its extra socket
PORT_1023 = 10
PORT_0 = 11
PORT_53 = 12
ZERO_NET = 13    # 0.0.0.0:40000
MULTICAST = 14   # 224.0.0.1:40000
BROADCAST = 15   # 255.255.255.255:40000

# Clock steps.
NOW, HALF_SECOND, SLOT, TTL = 0, 1, 2, 3


def record(data, socket=MAIN, source=A, step=NOW, cookie=False):
    data = data.encode() if isinstance(data, str) else data
    header = socket | (source << 1) | (step << 5) | (0x80 if cookie else 0)
    return bytes([header, len(data) & 0xFF, len(data) >> 8]) + data


INIT = '{"command":"INIT","local_port":40000,"protocol":"Punchprobe"}\n'
INIT2 = '{"command":"INIT2","local_port_alt":40001,"protocol":"Punchprobe","session_id":%d}\n'
START = '{"command":"START","protocol":"Punchprobe","session_id":%d}\n'
PING = '{"command":"PING","protocol":"Punchprobe","session_id":%d}\n'


def init(source=A, socket=MAIN, step=NOW):
    return record(INIT, socket=socket, source=source, step=step)


# Session ids 0 are placeholders for the cookie (bit 7); pass cookie=False
# and an id to send that id as it is.
def init2(source=A_ALT, socket=MAIN, step=NOW, session=0, cookie=True):
    return record(INIT2 % session, socket=socket, source=source, step=step, cookie=cookie)


def start(source=A_ALT, socket=MAIN, step=NOW, session=0, cookie=True):
    return record(START % session, socket=socket, source=source, step=step, cookie=cookie)


def ping(source=A, socket=EXTRA, step=NOW, session=0, cookie=True):
    return record(PING % session, socket=socket, source=source, step=step, cookie=cookie)


def exchange(primary=A, alternate=A_ALT, ping_source=None):
    return init(primary) + init2(alternate) + start(alternate) + ping(ping_source or primary)


seeds = {
    "whole_exchange": exchange(),
    "dependent_mapping": exchange(ping_source=A_HIGH),
    "second_ping": exchange() + ping(),
    # The same cookie again after the train: a new test from the same endpoint.
    "next_test": exchange() + init2() + start() + ping(source=A_EXTRA),
    "init2_twice": init() + init2() + init2(source=A_EXTRA) + start(source=A_EXTRA) + ping(),
    "host_client": exchange(primary=HOST, alternate=HOST),
    "stranger": init() + init2(source=B) + start(source=B) + init2() + start(source=B) + ping(source=B)
                + ping(source=A_HIGH),
    "cookie_next_slot": init() + init2(step=SLOT) + start() + ping(),
    "cookie_too_old": init() + init2(source=B, step=SLOT) + init2(step=SLOT),
    # The cookie of the server's main socket (127.0.0.1:30000) at the
    # fuzzer's start under its fixed key, as the fuzzer guessed it: a client
    # on the server's address must not aim a train at the server itself.
    "own_socket_train": b"".join(record(text.rstrip("\n") % 983047120, socket=socket, source=HOST)
                                 for text, socket in ((INIT2, MAIN), (START, MAIN), (PING, EXTRA))),
    # One train at a time per address (the fuzzer's trains_per_address), and
    # never more trains than sessions: A's second train and B's wait for the
    # first, HOST's finds no room until they are done.
    "train_turns": init(A) + init2() + ping(A) + init(A_HIGH) + init2() + ping(A_HIGH)
                   + init(B) + init2(source=B) + ping(B) + init(B_LOW) + init2(source=B_LOW) + ping(B_LOW)
                   + init(HOST) + init2(source=HOST) + ping(HOST) + ping(HOST, step=HALF_SECOND),
    # INITs shorter than any request, whose reply would outweigh them, and
    # the tightest real one: the shortest INIT from the source with the
    # longest reply.
    "short_init": record('{"command":"INIT","protocol":"Punchprobe"}') + record('{"command":"INIT"}')
                  + record('{"command":"INIT","local_port":1024,"protocol":"Punchprobe"}', source=A_HIGH),
    "forged_ids": b"".join(init2(session=s, cookie=False)
                           for s in (40000 << 15, 0, -1, 2147483647, 2147483648, (80 << 15) | 5))
                  + init() + start(source=A, session=1310720001, cookie=False),
    "eviction": b"".join(init(s) + init2(s) for s in (A, A_ALT, B, B_LOW, HOST)) + start(source=HOST) + ping(HOST),
    "rate_limit": init() * 4 + init(step=HALF_SECOND) + init(step=HALF_SECOND) + init2(source=A) + init(B),
    "expiry": init() + init2() + start(step=TTL) + init() + init2() + start(step=SLOT) + ping(step=TTL),
    "expiry_after_train": exchange() + init(step=TTL) + init2() + ping(),
    "wrong_sockets": init(socket=EXTRA) + init() + init2(socket=EXTRA) + start(socket=EXTRA) + ping(socket=MAIN)
                     + init2() + ping(),
    "low_ports": b"".join(init(s) for s in (OWN_MAIN, OWN_EXTRA, PORT_1023, PORT_0, PORT_53, ZERO_NET,
                                            MULTICAST, BROADCAST, OTHER_LOOP, A_EXTRA, B_LOW, A_HIGH))
                 + init2(source=OWN_MAIN) + ping(source=PORT_0) + ping(source=OWN_EXTRA),
    # What the server sends, and another server would, arriving as requests.
    "replies_fed_back": init()
                        + record('{"command":"INIT","public_ip":"203.0.113.7","public_port":40000,'
                                 '"session_id":1310723153}\n')
                        + record('{"command":"INIT2","public_port_alt":40001,"session_id":0}\n', cookie=True)
                        + record('{"command":"START","extra_port":30001,"session_id":0}\n', cookie=True)
                        + record('{"command":"PING","ping_number":1,"session_id":0}\n', socket=EXTRA, cookie=True)
                        + record('{"command":"INIT","local_port":40000,"protocol":"Punchprobe","session_id":1}\n'),
    "junk": record(b'{"command":"START","session_id":1,"pad":"' + b"x" * 300 + b'"}')
            + record(b"[" * 100 + b"]" * 100) + record(b'{"a":' * 40 + b"1" + b"}" * 40)
            + record(b'{"command":"INIT\x00","local_port":40000,"protocol":"Punchprobe"}')
            + record("hello") + record("") + record("   \n") + record("// c\n" + INIT)
            + record(INIT + " trailing") + record(INIT.rstrip("\n") + INIT)
            + record('{"command":"[{[{","local_port":40000,"protocol":"Punchprobe"}')
            + record('{"command":"INIT\\"","local_port":40000,"protocol":"Punchprobe"}')
            + record('{"command":"INIT","command":"INIT","local_port":40000,"protocol":"Punchprobe"}'),
    "shapes": b"".join(record('{"command":"INIT","local_port":%s,"protocol":"Punchprobe"}' % port)
                       for port in ("1023", "1024", "65535", "65536", '"40000"', "40000.0", "4e4", "-1", "null"))
              + record('{"command":"INIT","local_port":40000}')
              + record('{"command":"INIT","local_port":40000,"protocol":"punchprobe"}')
              + record('{"command":"INIT","local_port":40000,"protocol":"Punchprobe","x":1}')
              + record(' { "protocol" : "Punchprobe" , "local_port" : 40000 , "command" : "INIT" } ',
                       source=B)
              + init(HOST)
              + b"".join(record('{"command":"INIT2","local_port_alt":%s,"protocol":"Punchprobe","session_id":0}'
                                % port, source=HOST, cookie=True) for port in ("1024", "1025", "65536", "65537"))
              + record('{"command":"START","protocol":"Punchprobe","session_id":"0"}', source=HOST, cookie=True)
              + record('{"command":"START","protocol":"Punchprobe","session_id":0,"extra_port":1}', source=HOST,
                       cookie=True)
              + record('{"command":"PING","protocol":"Punchprobe","session_id":0.0}', socket=EXTRA, source=HOST,
                       cookie=True)
              + record('{"session_id":0,"protocol":"Punchprobe","command":"PING"}', socket=EXTRA, source=HOST,
                       cookie=True),
    "unknown_command": record('{"command":"PONG","protocol":"Punchprobe","session_id":1}')
                       + record('{"command":1,"protocol":"Punchprobe"}')
                       + record('{"protocol":"Punchprobe","local_port":40000}')
                       + record('{"command":"init","local_port":40000,"protocol":"Punchprobe"}'),
}

directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "server_datagram_fuzzer")
os.makedirs(directory, exist_ok=True)
for stale in os.listdir(directory):
    if stale not in seeds:
        os.remove(os.path.join(directory, stale))
for name, data in seeds.items():
    with open(os.path.join(directory, name), "wb") as seed:
        seed.write(data)
