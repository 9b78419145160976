#!/usr/bin/env python3
"""Sends a few probes from the source namespace of a path lab and reports every ICMP or
ICMPv6 message (and, for TCP probes, every TCP segment) that answers them, for the lab's
tests.

  lab_probe.py udp  DEST --length L [--ttl T] [--count N] [--interval S] [--wait S] [--df]
                        [--show-ttl]
  lab_probe.py echo DEST --length L [--ttl T] [--count N] [--interval S] [--wait S] [--df]
                        [--show-ttl]
  lab_probe.py tcp  DEST --port P   [--ttl T] [--count N] [--interval S] [--wait S]

DEST is an IPv4 or IPv6 address. L is the probe's IP length (IPv4 or IPv6 header
included). UDP probes go to ports 33434 + sequence number; echo requests carry this
process's identifier; TCP probes are SYNs (40 or 60 bytes) from one source port to port
P, sequence number 0x5EED0000 + probe number. --df sets the don't-fragment flag on IPv4
probes; IPv6 probes are never fragmented by the source. Either way the probe leaves at
its full length whatever path MTU the source has learned. One line per answer:

  reply seq=N from=ADDR type=T code=C len=L quote=Q whole=W [mtu=M] [ttl=H] rtt_us=R
  reply seq=N from=ADDR tcp=FLAGS rtt_us=R

(len: the answer's IP length, header included; quote: the bytes of the probe it quotes;
whole: 1 when the quote holds the whole probe, its ports or identifier and every byte
after them; mtu: the next-hop MTU of an IPv6 packet-too-big or an IPv4 fragmentation-
needed message; FLAGS: the TCP flags of the segment, such as SA for SYN-ACK and RA for
RST-ACK; H, with --show-ttl: the TTL or hop limit the ICMP answer arrived with), then
"sent=N answers=M". Needs raw sockets (root)."""
import argparse
import os
import select
import socket
import struct
import sys
import time

BASE_PORT = 33434
TCP_BASE_SEQ = 0x5EED0000
IP_MTU_DISCOVER, IP_PMTUDISC_PROBE = 10, 3
IPV6_MTU_DISCOVER, IPV6_PMTUDISC_PROBE = 23, 3


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def payload(seq, size):
    return bytes((i * 7 + seq) & 0xFF for i in range(size))


def tcp_flags(bits):
    return "".join(name for bit, name in ((0x01, "F"), (0x02, "S"), (0x04, "R"), (0x08, "P"),
                                          (0x10, "A"), (0x20, "U")) if bits & bit)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["udp", "echo", "tcp"])
    parser.add_argument("dest")
    parser.add_argument("--length", type=int)
    parser.add_argument("--port", type=int)
    parser.add_argument("--ttl", type=int, default=64)
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--interval", type=float, default=0.05)
    parser.add_argument("--wait", type=float, default=1.0)
    parser.add_argument("--df", action="store_true")
    parser.add_argument("--show-ttl", action="store_true")
    args = parser.parse_args()
    v6 = ":" in args.dest
    family = socket.AF_INET6 if v6 else socket.AF_INET
    header = 40 if v6 else 20           # the probes' IP header
    if args.kind == "tcp":
        if args.port is None or not 1 <= args.port <= 65535:
            parser.error("tcp needs --port 1..65535")
        args.length = header + 20
    elif args.length is None or not header + 8 <= args.length <= 9000:
        parser.error("--length %d..9000" % (header + 8))
    if not 1 <= args.count <= 1000:
        parser.error("count 1..1000")

    def aim(sock):  # hop limit, and the probe leaves unfragmented at its full length
        if v6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_UNICAST_HOPS, args.ttl)
            sock.setsockopt(socket.IPPROTO_IPV6, IPV6_MTU_DISCOVER, IPV6_PMTUDISC_PROBE)
        else:
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, args.ttl)
            if args.df:
                sock.setsockopt(socket.IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_PROBE)

    icmp = socket.socket(family, socket.SOCK_RAW, socket.IPPROTO_ICMPV6 if v6 else socket.IPPROTO_ICMP)
    aim(icmp)
    if v6:  # the hop limit of each answer, as ancillary data (IPv4: in the header)
        icmp.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVHOPLIMIT, 1)
    listening = [icmp]
    ident = os.getpid() & 0xFFFF
    any_address = "::" if v6 else "0.0.0.0"
    udp = tcp = None
    if args.kind == "udp":
        udp = socket.socket(family, socket.SOCK_DGRAM)
        aim(udp)
        udp.bind((any_address, 0))
        sport = udp.getsockname()[1]
    elif args.kind == "tcp":
        tcp = socket.socket(family, socket.SOCK_RAW, socket.IPPROTO_TCP)
        aim(tcp)
        listening.append(tcp)
        sport = 40000 + ident % 20000
        # The source address the kernel picks toward DEST, for the checksum's pseudo-header.
        route = socket.socket(family, socket.SOCK_DGRAM)
        route.connect((args.dest, 9))
        pseudo = socket.inet_pton(family, route.getsockname()[0]) + socket.inet_pton(family, args.dest)
        route.close()
        pseudo += struct.pack("!I", 20 * 0x10000 + 6) if v6 else struct.pack("!BBH", 0, 6, 20)

    sent = {}     # seq -> (send time in ns, the probe's bytes after its IP header)
    answers = 0

    def send(seq):
        body_len = args.length - header - 8
        if udp is not None:
            body = payload(seq, body_len)
            sent[seq] = (time.monotonic_ns(), struct.pack("!HHHH", sport, BASE_PORT + seq, 8 + body_len, 0) + body)
            udp.sendto(body, (args.dest, BASE_PORT + seq))
        elif tcp is not None:
            segment = struct.pack("!HHIIBBHHH", sport, args.port, TCP_BASE_SEQ + seq, 0, 5 << 4, 0x02, 65535, 0, 0)
            segment = segment[:16] + struct.pack("!H", checksum(pseudo + segment)) + segment[18:]
            sent[seq] = (time.monotonic_ns(), segment)
            tcp.sendto(segment, (args.dest, 0))
        else:
            body = payload(seq, body_len)
            request = 128 if v6 else 8
            header_bytes = struct.pack("!BBHHH", request, 0, 0, ident, seq)
            # The kernel writes the checksum of an ICMPv6 message (its pseudo-header).
            message = struct.pack("!BBHHH", request, 0, 0 if v6 else checksum(header_bytes + body), ident, seq) + body
            sent[seq] = (time.monotonic_ns(), message)
            icmp.sendto(message, (args.dest, 0))

    def answer_of(packet, address):
        """(source, IP length, the message after the IP header) of a received packet: raw
        IPv4 sockets deliver the IP header, raw IPv6 sockets only what follows it."""
        if v6:
            return address[0], 40 + len(packet), packet
        if len(packet) < 20:
            return None, 0, b""
        ihl = (packet[0] & 0x0F) * 4
        return socket.inet_ntoa(packet[12:16]), struct.unpack("!H", packet[2:4])[0], packet[ihl:]

    def hop_limit(packet, ancillary):
        """The TTL (IPv4 header) or hop limit (IPv6 ancillary data) a packet arrived with."""
        if not v6:
            return packet[8] if len(packet) >= 20 else None
        for level, kind, data in ancillary:
            if level == socket.IPPROTO_IPV6 and kind == socket.IPV6_HOPLIMIT and len(data) >= 4:
                return struct.unpack("@i", data[:4])[0]
        return None

    def receive_tcp(now_ns):
        nonlocal answers
        for _ in range(100):
            try:
                packet, address = tcp.recvfrom(65535, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return
            source, _, segment = answer_of(packet, address)
            if len(segment) < 20:
                continue
            rsport, rdport, _, ack, _, flags = struct.unpack("!HHIIBB", segment[:14])
            seq = (ack - 1 - TCP_BASE_SEQ) & 0xFFFFFFFF
            if rsport != args.port or rdport != sport or seq not in sent:
                continue
            answers += 1
            print("reply seq=%d from=%s tcp=%s rtt_us=%d" % (seq, source, tcp_flags(flags),
                                                             (now_ns - sent[seq][0]) // 1000))

    def receive(now_ns):
        nonlocal answers
        for _ in range(100):  # a bounded number of datagrams per wake-up
            try:
                packet, ancillary, _, address = icmp.recvmsg(65535, socket.CMSG_SPACE(4), socket.MSG_DONTWAIT)
            except BlockingIOError:
                return
            source, total, message = answer_of(packet, address)
            ttl = hop_limit(packet, ancillary)
            if len(message) < 8:
                continue
            kind, code = message[0], message[1]
            seq = None
            quote = b""
            mtu = None
            echo_reply, errors = (129, (1, 2, 3, 4)) if v6 else (0, (3, 11))
            if kind == echo_reply and args.kind == "echo":
                rid, rseq = struct.unpack("!HH", message[4:8])
                if rid == ident:
                    seq = rseq
            elif kind in errors:
                quote = message[8:]
                if len(quote) < header + 8:
                    continue
                if v6 and kind == 2:
                    mtu = struct.unpack("!I", message[4:8])[0]
                elif not v6 and kind == 3 and code == 4:
                    mtu = struct.unpack("!H", message[6:8])[0]
                qhl = header if v6 else (quote[0] & 0x0F) * 4
                protocol = quote[6] if v6 else quote[9]
                inner = quote[qhl:qhl + 8]
                if len(inner) < 8:
                    continue
                if args.kind == "udp" and protocol == 17:
                    qsport, qdport = struct.unpack("!HH", inner[:4])
                    if qsport == sport:
                        seq = qdport - BASE_PORT
                elif args.kind == "tcp" and protocol == 6:
                    qsport, _, qseq = struct.unpack("!HHI", inner)
                    if qsport == sport:
                        seq = (qseq - TCP_BASE_SEQ) & 0xFFFFFFFF
                elif args.kind == "echo" and protocol == (58 if v6 else 1):
                    qtype, _, _, qid, qseq = struct.unpack("!BBHHH", inner)
                    if qtype == (128 if v6 else 8) and qid == ident:
                        seq = qseq
            if seq not in sent:
                continue
            answers += 1
            sent_ns, body = sent[seq]
            whole = 0
            if quote:
                # The kernel fills in the UDP length and checksum, and the ICMPv6 checksum:
                # compare every other byte from the transport header on.
                qhl = header if v6 else (quote[0] & 0x0F) * 4
                filled = range(2, 4) if v6 and args.kind == "echo" else range(4, 8)
                rest = quote[qhl:]
                whole = int(len(quote) == args.length and len(rest) == len(body)
                            and all(rest[i] == body[i] for i in range(len(body)) if i not in filled))
            print("reply seq=%d from=%s type=%d code=%d len=%d quote=%d whole=%d%s%s rtt_us=%d"
                  % (seq, source, kind, code, total, len(quote), whole,
                     "" if mtu is None else " mtu=%d" % mtu,
                     " ttl=%s" % ttl if args.show_ttl else "", (now_ns - sent_ns) // 1000))

    def wait_until(deadline):
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            ready = select.select(listening, [], [], left)[0]
            now_ns = time.monotonic_ns()
            if icmp in ready:
                receive(now_ns)
            if tcp is not None and tcp in ready:
                receive_tcp(now_ns)

    start = time.monotonic()
    for seq in range(args.count):
        wait_until(start + seq * args.interval)
        send(seq)
    wait_until(time.monotonic() + args.wait)
    print("sent=%d answers=%d" % (args.count, answers))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
