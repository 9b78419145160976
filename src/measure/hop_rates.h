// From slopes to link rates. A slope is seconds of round-trip time per byte of probe;
// the difference of the slopes that end at hop h and at hop h-1 belongs to the link
// between them, and 8 / difference is its rate in bits per second.
#pragma once

namespace hoprate {

struct Slope {
    double value = 0;   // seconds per byte
    double relErr = 0;  // relative uncertainty at 90 %, signed like the slope
};

// The figures of one hop: v_n from the slopes toward the destination that end at hops h
// and h-1; v_n' from the echo slopes addressed to the hosts at h and h-1, less the first
// difference. Relative uncertainties carry the sign of their difference.
struct HopRates {
    double vN = 0;
    double rN = 0;
    double vNp = 0;
    double rNp = 0;
};

double square(double x);

// The four slopes of one hop in seconds per byte with their relative uncertainties: near
// (k1 to the router at h-1, k1p toward the destination at TTL h-1) and far (k2, k2p).
struct HopSlopes {
    Slope k1, k2, k1p, k2p;
};

// The rate arithmetic of one hop.
HopRates computeHopRates(const HopSlopes &slopes);

// The four slopes of one hop and its rates.
struct HopPass {
    int hop = 0;
    Slope k1, k2, k1p, k2p;
    HopRates rates;
};

// The walk from hop n down to hop 1. It starts from the slopes measured toward the
// destination at TTL n (echo: k2, UDP: k2p); the pass for hop h takes the near slopes
// measured at TTL h-1 (k1p toward the destination, k1 to the router that answered it;
// both zero for hop 1), and what was near becomes far for the next pass.
class HopWalk {
public:
    HopWalk(int hopCount, Slope echoTowardDestination, Slope udpTowardDestination);

    int nextHop() const { return hop; }  // 0 when the walk is over
    HopPass pass(Slope towardDestination, Slope toRouter);

private:
    int hop;
    Slope far;      // k2
    Slope farDest;  // k2p
};

}  // namespace hoprate
