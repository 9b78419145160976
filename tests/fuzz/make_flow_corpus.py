#!/usr/bin/python3
"""Writes the seed corpus of flow_reply_fuzz: datagrams as a raw ICMP socket receives
them for the accurate mode's probes, each after the fuzzer's 8-byte prefix (identifier,
cookie, sequence, most significant byte first).

  make_flow_corpus.py DIRECTORY
"""
import os
import struct
import sys

IDENTIFIER = 0x4A21
COOKIE = 0x9E3779B9
LOCAL = bytes([10, 0, 0, 2])
TARGET = bytes([198, 51, 100, 77])
ROUTER = bytes([192, 0, 2, 1])


def ones_sum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def checksum(data):
    return ~ones_sum(data) & 0xFFFF


def flow_checksum():
    return checksum(struct.pack("!BBHHHIHH", 8, 0, 0, IDENTIFIER, 0, COOKIE, 0, 0))


def probe(sequence, length):
    """An echo request of the flow: constant checksum, compensation word at 12-13."""
    target = flow_checksum()
    header = struct.pack("!BBHHHIHH", 8, 0, 0, IDENTIFIER, sequence, COOKIE, 0, 0)
    partial = ones_sum(header)
    word = (~target & 0xFFFF) + (~partial & 0xFFFF)
    word = (word & 0xFFFF) + (word >> 16)
    message = struct.pack("!BBHHHIHH", 8, 0, target, IDENTIFIER, sequence, COOKIE, word, 0)
    message += bytes(length - len(message))
    assert checksum(message) == 0
    return message


def ip(source, destination, payload, total=None):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total or 20 + len(payload), 0x1234, 0, 64, 1, 0,
                         source, destination)
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def icmp(kind, code, rest, payload):
    message = struct.pack("!BBH4s", kind, code, 0, rest) + payload
    return message[:2] + struct.pack("!H", checksum(message)) + message[4:]


def error(kind, code, sequence, length, quote, rest=bytes(4)):
    sent = ip(LOCAL, TARGET, probe(sequence, length))
    return ip(ROUTER, LOCAL, icmp(kind, code, rest, sent[:quote]))


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    reply = bytearray(probe(0x0102, 1480))
    reply[0] = 0
    reply[2:4] = struct.pack("!H", checksum(bytes(reply[:2]) + b"\0\0" + bytes(reply[4:])))
    samples = {
        "echo_reply": (0x0102, ip(TARGET, LOCAL, bytes(reply))),
        "time_exceeded_28": (0x0203, error(11, 0, 0x0203, 1480, 28)),
        "time_exceeded_576": (0x0204, error(11, 0, 0x0204, 1480, 548)),
        "time_exceeded_whole": (0x0205, error(11, 0, 0x0205, 200, 220)),
        "fragmentation_needed": (0x0306, error(3, 4, 0x0306, 1480, 548, struct.pack("!HH", 0, 1400))),
        "port_unreachable": (0x0307, error(3, 3, 0x0307, 64, 84)),
    }
    for name, (sequence, datagram) in samples.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(struct.pack("!HIH", IDENTIFIER, COOKIE, sequence) + datagram)


if __name__ == "__main__":
    main()
