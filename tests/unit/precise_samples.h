// Hand-built results of the accurate mode, for the output tests and the JSON schema
// check: one hop of every kind the table and the document know, and a run whose figures
// are not finite.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "model/precise_result.h"

using namespace hoprate;

inline IpAddress sampleAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    Ipv4Address address;
    std::memcpy(&address, bytes, 4);
    return IpAddress::v4(address);
}

inline CapacityEstimate sampleInterval(double bps, double low, double high)
{
    CapacityEstimate c;
    c.known = true;
    c.bitsPerSecond = bps;
    c.low = low;
    c.high = high;
    return c;
}

inline HopResult sampleHop(int number, HopMethod method, double minRttMs, int probes, int replies)
{
    HopResult h;
    h.hop = number;
    h.method = method;
    if (method != HopMethod::Silent)
        h.address = sampleAddress(10, 0, static_cast<uint8_t>(number), 1);
    h.minRttMs = minRttMs;
    h.probes = probes;
    h.replies = replies;
    return h;
}

// Six hops to example.net (192.0.2.80):
//   1 an echo router measured to 100 Mb/s
//   2 silent
//   3 after the silent hop: links 2-3 in series, TTL-limited, rate limited, 10 Mb/s
//   4 a lower bound of 2.5 Gb/s
//   5 a hidden store-and-forward device: the slope reads 1.2 Mb/s, the pairs 5 Mb/s
//   6 the destination, with a second responder and too few replies for an estimate
inline PreciseResult sixHopSample()
{
    PreciseResult r;
    r.destination = sampleAddress(192, 0, 2, 80);
    r.pathMtu = 1500;
    r.kernelStamps = true;
    r.probesSent = 2712;
    r.wallSeconds = 41.2567;

    HopResult h1 = sampleHop(1, HopMethod::EchoRouter, 0.512, 300, 298);
    h1.capacity = sampleInterval(100e6, 99.5e6, 100.5e6);
    HopResult h2 = sampleHop(2, HopMethod::Silent, std::nan(""), 40, 0);
    HopResult h3 = sampleHop(3, HopMethod::TtlLimited, 12.25, 212, 180);
    h3.capacity = sampleInterval(10e6, 9.87654e6, 10.1234e6);
    h3.mergedFrom = 2;
    h3.rateLimited = true;
    h3.directions = LinkDirections::Forward;
    h3.addressBeyond = true;
    HopResult h4 = sampleHop(4, HopMethod::EchoRouter, 12.9, 300, 300);
    h4.capacity = sampleInterval(2.5e9, 2.5e9, 0);
    h4.capacity.lowerBound = true;
    HopResult h5 = sampleHop(5, HopMethod::EchoRouter, 25.0004, 96, 96);
    h5.capacity = sampleInterval(5e6, 4.95e6, 5.05e6);
    h5.hiddenDevice = true;
    h5.slopeBitsPerSecond = 1.2e6;
    h5.pairBitsPerSecond = 5e6;
    h5.directions = LinkDirections::Separated;
    h5.returnCapacity = sampleInterval(800e3, 790e3, 810e3);
    h5.asymmetric = true;
    HopResult h6 = sampleHop(6, HopMethod::Destination, 130.5, 88, 3);
    h6.address = sampleAddress(192, 0, 2, 80);
    h6.others = {{sampleAddress(198, 51, 100, 7), 12}, {sampleAddress(198, 51, 100, 8), 1}};
    r.hops = {h1, h2, h3, h4, h5, h6};
    return r;
}

// One hop whose figures are not finite: the document has null for each.
inline PreciseResult nonFiniteSample()
{
    PreciseResult r;
    r.destination = sampleAddress(203, 0, 113, 5);
    r.pathMtu = 576;
    r.probesSent = 0;
    r.wallSeconds = 0.0004;
    HopResult h = sampleHop(1, HopMethod::Destination, std::nan(""), 0, 0);
    h.address = r.destination;
    h.capacity = sampleInterval(INFINITY, INFINITY, NAN);
    h.pairBitsPerSecond = 0;
    r.hops = {h};
    return r;
}
