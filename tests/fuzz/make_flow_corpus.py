#!/usr/bin/python3
"""Writes the seed corpus of flow_reply_fuzz: packets as the accurate mode receives them
for its probes (IPv4 and IPv6, ICMP echo, UDP and TCP), each after the fuzzer's 15-byte
prefix, most significant byte first: the family (1: IPv6, 0: IPv4), the identifier, the
cookie, the key, the UDP and TCP source ports, and a sequence number.

  make_flow_corpus.py DIRECTORY

The probes are built from the flow's rules written out here: an echo request's checksum
is constant (type, identifier and cookie give it; a compensation word after the cookie
keeps it so), a UDP probe's checksum is its sequence number XOR the key (the payload's
compensation word makes the kernel's sum that value), a TCP SYN carries the sequence
number XOR the key in the upper half of its sequence number.
"""
import os
import struct
import sys

IDENTIFIER = 0x4A21
COOKIE = 0x9E3779B9
KEY = 0x5A3C
UDP_SOURCE = 40001
TCP_SOURCE = 40002
UDP_PORT = 33434  # the fuzzer's fixed destination ports
TCP_PORT = 80

V4 = {
    "local": bytes([10, 0, 0, 2]),
    "target": bytes([198, 51, 100, 77]),
    "router": bytes([192, 0, 2, 1]),
}
V6 = {
    "local": bytes.fromhex("fd000000000000000000000000000002"),
    "target": bytes.fromhex("20010db8000000000000000000000077"),
    "router": bytes.fromhex("fd770000000000010000000000000002"),
}


def ones_sum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def ones_add(a, b):
    total = a + b
    return (total & 0xFFFF) + (total >> 16)


def pseudo(family, source, destination, protocol, length):
    if family == 4:
        return source + destination + struct.pack("!BBH", 0, protocol, length)
    return source + destination + struct.pack("!IxxxB", length, protocol)


def kernel_checksum(family, source, destination, protocol, message):
    """The checksum the kernel writes: ICMP over the message alone, the others (ICMPv6
    too) with the pseudo-header."""
    covered = message if protocol == 1 else pseudo(family, source, destination, protocol, len(message)) + message
    return ~ones_sum(covered) & 0xFFFF


def icmp_protocol(family):
    return 1 if family == 4 else 58


def echo_checksum(family):
    request = 8 if family == 4 else 128
    return ~ones_sum(struct.pack("!BBHHHI", request, 0, 0, IDENTIFIER, 0, COOKIE)) & 0xFFFF


def transport(family, protocol, sequence, length, ends):
    """The probe's transport part as it leaves the host (kernel's checksums filled in),
    for an IP packet of `length` bytes."""
    size = length - (20 if family == 4 else 40)
    local, target = ends["local"], ends["target"]
    if protocol == "icmp":
        request = 8 if family == 4 else 128
        wanted = echo_checksum(family)
        body = struct.pack("!BBHHHI", request, 0, wanted, IDENTIFIER, sequence, COOKIE)
        body += bytes(size - len(body))
        partial = ones_sum(body if family == 4 else pseudo(family, local, target, 58, size) + body)
        body = body[:12] + struct.pack("!H", ~partial & 0xFFFF) + body[14:]
        # The kernel's checksum over what it was given (field zeroed) is the flow's.
        zeroed = body[:2] + b"\0\0" + body[4:]
        assert kernel_checksum(family, local, target, icmp_protocol(family), zeroed) == wanted
        return body
    if protocol == "udp":
        wanted = sequence ^ KEY
        assert wanted != 0, "the sequence number whose UDP checksum would be 0 is never sent"
        message = struct.pack("!HHHHI", UDP_SOURCE, UDP_PORT, size, 0, COOKIE) + bytes(size - 12)
        partial = ones_sum(pseudo(family, local, target, 17, size) + message)
        word = ones_add(~wanted & 0xFFFF, ~partial & 0xFFFF)
        message = message[:12] + struct.pack("!H", word) + message[14:]
        checksum = kernel_checksum(family, local, target, 17, message) or 0xFFFF
        assert checksum == wanted
        return message[:6] + struct.pack("!H", checksum) + message[8:]
    segment = struct.pack("!HHIIBBHHHI", TCP_SOURCE, TCP_PORT, (sequence ^ KEY) << 16, 0, 0x50, 0x02, 8192, 0, 0,
                          COOKIE)
    segment += bytes(size - len(segment))
    checksum = kernel_checksum(family, local, target, 6, segment)
    return segment[:16] + struct.pack("!H", checksum) + segment[18:]


def ip(family, source, destination, protocol, payload, ttl=64):
    if family == 4:
        header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0x1234, 0, ttl, protocol, 0, source,
                             destination)
        header = header[:10] + struct.pack("!H", ~ones_sum(header) & 0xFFFF) + header[12:]
        return header + payload
    return struct.pack("!IHBB16s16s", 0x60000000, len(payload), protocol, ttl, source, destination) + payload


def ends(family):
    return V4 if family == 4 else V6


def probe(family, protocol, sequence, length):
    e = ends(family)
    number = {"icmp": icmp_protocol(family), "udp": 17, "tcp": 6}[protocol]
    return ip(family, e["local"], e["target"], number, transport(family, protocol, sequence, length, e), ttl=1)


def icmp(family, source, kind, code, rest, payload):
    e = ends(family)
    message = struct.pack("!BBH", kind, code, 0) + rest + payload
    checksum = kernel_checksum(family, source, e["local"], icmp_protocol(family), message)
    message = message[:2] + struct.pack("!H", checksum) + message[4:]
    return ip(family, source, e["local"], icmp_protocol(family), message, ttl=60)


def error(family, source, kind, code, sent, quote, rest=bytes(4)):
    return icmp(family, source, kind, code, rest, sent[:quote])


def time_exceeded(family, sent, quote):
    return error(family, ends(family)["router"], 11 if family == 4 else 3, 0, sent, quote)


def linux_quote(family):
    """Linux's ICMP errors fill at most 576 (IPv4) or 1280 (IPv6) bytes."""
    return 576 - 28 if family == 4 else 1280 - 48


def echo_reply(family, sequence, length):
    sent = probe(family, "icmp", sequence, length)
    body = bytearray(sent[20 if family == 4 else 40:])
    body[0] = 0 if family == 4 else 129
    return icmp(family, ends(family)["target"], body[0], 0, bytes(body[4:8]), bytes(body[8:]))


def tcp_answer(family, sequence, length, reset):
    e = ends(family)
    payload = length - (20 if family == 4 else 40) - 20
    ack = (((sequence ^ KEY) << 16) + 1 + (payload if reset else 0)) & 0xFFFFFFFF
    segment = struct.pack("!HHIIBBHHH", TCP_PORT, TCP_SOURCE, 0x01020304 if not reset else 0, ack, 0x50,
                          0x14 if reset else 0x12, 0 if reset else 64240, 0, 0)
    checksum = kernel_checksum(family, e["target"], e["local"], 6, segment)
    segment = segment[:16] + struct.pack("!H", checksum) + segment[18:]
    return ip(family, e["target"], e["local"], 6, segment, ttl=50)


def with_extension(sent, next_header, extension):
    """An IPv6 probe with an extension header between its IPv6 header and its transport,
    as a router on the way may have added (the payload length grows with it)."""
    transport_next = sent[6]
    header = bytearray(sent[:40])
    header[4:6] = struct.pack("!H", len(sent) - 40 + len(extension))
    header[6] = next_header
    return bytes(header) + bytes([transport_next]) + extension[1:] + sent[40:]


def samples():
    out = {}
    sequence = 0x0100
    for family in (4, 6):
        name = f"v{family}"
        sequence += 1
        out[f"{name}_echo_reply"] = (family, sequence, echo_reply(family, sequence, 1480 if family == 4 else 1280))
        for protocol in ("icmp", "udp", "tcp"):
            sequence += 1
            sent = probe(family, protocol, sequence, 1500)
            out[f"{name}_{protocol}_time_exceeded_8"] = (
                family, sequence, time_exceeded(family, sent, (20 if family == 4 else 40) + 8))
            out[f"{name}_{protocol}_time_exceeded_linux"] = (
                family, sequence, time_exceeded(family, sent, linux_quote(family)))
            sequence += 1
            small = probe(family, protocol, sequence, 200)
            out[f"{name}_{protocol}_time_exceeded_whole"] = (family, sequence, time_exceeded(family, small, len(small)))
        sequence += 1
        sent = probe(family, "udp", sequence, 1500)
        out[f"{name}_udp_port_unreachable"] = (
            family, sequence,
            error(family, ends(family)["target"], 3 if family == 4 else 1, 3 if family == 4 else 4, sent,
                  linux_quote(family)))
        sequence += 1
        sent = probe(family, "icmp", sequence, 1500)
        if family == 4:
            out["v4_icmp_fragmentation_needed"] = (
                family, sequence, error(4, V4["router"], 3, 4, sent, linux_quote(4), struct.pack("!HH", 0, 1400)))
        else:
            out["v6_icmp_packet_too_big"] = (
                family, sequence, error(6, V6["router"], 2, 0, sent, linux_quote(6), struct.pack("!I", 1400)))
        # Another unreachable code: a kind of its own, still naming the probe.
        sequence += 1
        sent = probe(family, "tcp", sequence, 1500)
        out[f"{name}_tcp_host_unreachable"] = (
            family, sequence, error(family, ends(family)["router"], 3 if family == 4 else 1, 1 if family == 4 else 3,
                                    sent, linux_quote(family)))
        for reset in (True, False):
            sequence += 1
            kind = "rst" if reset else "syn_ack"
            out[f"{name}_tcp_{kind}"] = (family, sequence, tcp_answer(family, sequence, 600, reset))
    # IPv6 quotes with a hop-by-hop header (stepped over: still ours) and with a fragment
    # header (set aside).
    sequence += 1
    hop_by_hop = bytes([0, 0, 1, 4, 0, 0, 0, 0])  # next header, length, PadN of 4
    sent = with_extension(probe(6, "udp", sequence, 400), 0, hop_by_hop)
    out["v6_udp_time_exceeded_hop_by_hop"] = (6, sequence, time_exceeded(6, sent, len(sent)))
    sequence += 1
    fragment = struct.pack("!BBHI", 0, 0, 1, 0x01020304)  # first fragment, more to come
    sent = with_extension(probe(6, "udp", sequence, 400), 44, fragment)
    out["v6_udp_time_exceeded_fragment"] = (6, sequence, time_exceeded(6, sent, len(sent)))
    return out


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    for name, (family, sequence, packet) in samples().items():
        prefix = struct.pack("!BHIHHHH", 1 if family == 6 else 0, IDENTIFIER, COOKIE, KEY, UDP_SOURCE, TCP_SOURCE,
                             sequence)
        with open(os.path.join(directory, name), "wb") as f:
            f.write(prefix + packet)


if __name__ == "__main__":
    main()
