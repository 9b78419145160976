#!/usr/bin/env python3
"""Sends a few probes from the source namespace of a path lab and reports every ICMP
message that answers them, for the lab's attribute test.

  lab_probe.py udp  DEST --length L [--ttl T] [--count N] [--interval S] [--wait S]
  lab_probe.py echo DEST --length L [--ttl T] [--count N] [--interval S] [--wait S]

L is the probe's IP length. UDP probes go to ports 33434 + sequence number; echo
requests carry this process's identifier. One line per answer:

  reply seq=N from=ADDR type=T code=C len=L quote=Q whole=W rtt_us=R

(len: the answer's IP length; quote: the bytes of the probe it quotes; whole: 1 when the
quote holds the whole probe, its ports or identifier and every byte after them), then
"sent=N answers=M". Needs a raw ICMP socket (root)."""
import argparse
import os
import select
import socket
import struct
import sys
import time

BASE_PORT = 33434


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def payload(seq, size):
    return bytes((i * 7 + seq) & 0xFF for i in range(size))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["udp", "echo"])
    parser.add_argument("dest")
    parser.add_argument("--length", type=int, required=True)
    parser.add_argument("--ttl", type=int, default=64)
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--interval", type=float, default=0.05)
    parser.add_argument("--wait", type=float, default=1.0)
    args = parser.parse_args()
    if not 28 <= args.length <= 9000 or not 1 <= args.count <= 1000:
        parser.error("length 28..9000, count 1..1000")

    icmp = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    icmp.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, args.ttl)
    ident = os.getpid() & 0xFFFF
    udp = None
    if args.kind == "udp":
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, args.ttl)
        udp.bind(("0.0.0.0", 0))
        sport = udp.getsockname()[1]

    sent = {}     # seq -> (send time in ns, the probe's bytes after its IP header)
    answers = 0

    def send(seq):
        body_len = args.length - 28
        if udp is not None:
            body = payload(seq, body_len)
            sent[seq] = (time.monotonic_ns(), struct.pack("!HHHH", sport, BASE_PORT + seq, 8 + body_len, 0) + body)
            udp.sendto(body, (args.dest, BASE_PORT + seq))
        else:
            body = payload(seq, body_len)
            header = struct.pack("!BBHHH", 8, 0, 0, ident, seq)
            message = struct.pack("!BBHHH", 8, 0, checksum(header + body), ident, seq) + body
            sent[seq] = (time.monotonic_ns(), message)
            icmp.sendto(message, (args.dest, 0))

    def receive(now_ns):
        nonlocal answers
        for _ in range(100):  # a bounded number of datagrams per wake-up
            try:
                packet = icmp.recv(65535, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return
            if len(packet) < 28:
                continue
            ihl = (packet[0] & 0x0F) * 4
            total = struct.unpack("!H", packet[2:4])[0]
            source = socket.inet_ntoa(packet[12:16])
            kind, code = packet[ihl], packet[ihl + 1]
            seq = None
            quote = b""
            if kind == 0 and udp is None:
                rid, rseq = struct.unpack("!HH", packet[ihl + 4:ihl + 8])
                if rid == ident:
                    seq = rseq
            elif kind in (3, 11):
                quote = packet[ihl + 8:]
                if len(quote) < 28:
                    continue
                qhl = (quote[0] & 0x0F) * 4
                inner = quote[qhl:qhl + 8]
                if len(inner) < 8:
                    continue
                if udp is not None and quote[9] == 17:
                    qsport, qdport = struct.unpack("!HH", inner[:4])
                    if qsport == sport:
                        seq = qdport - BASE_PORT
                elif udp is None and quote[9] == 1:
                    qtype, _, _, qid, qseq = struct.unpack("!BBHHH", inner)
                    if qtype == 8 and qid == ident:
                        seq = qseq
            if seq not in sent:
                continue
            answers += 1
            sent_ns, body = sent[seq]
            whole = 0
            if quote:
                # The kernel fills in the UDP checksum: compare the ports and what follows
                # the transport header.
                qhl = (quote[0] & 0x0F) * 4
                whole = int(len(quote) == args.length and quote[qhl:qhl + 4] == body[:4]
                            and quote[qhl + 8:] == body[8:])
            print("reply seq=%d from=%s type=%d code=%d len=%d quote=%d whole=%d rtt_us=%d"
                  % (seq, source, kind, code, total, len(quote), whole, (now_ns - sent_ns) // 1000))

    start = time.monotonic()
    for seq in range(args.count):
        due = start + seq * args.interval
        while True:
            left = due - time.monotonic()
            if left <= 0:
                break
            if select.select([icmp], [], [], left)[0]:
                receive(time.monotonic_ns())
        send(seq)
    end = time.monotonic() + args.wait
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        if select.select([icmp], [], [], left)[0]:
            receive(time.monotonic_ns())
    print("sent=%d answers=%d" % (args.count, answers))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
