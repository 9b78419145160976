// The per-hop loop: sweeps toward the destination and toward each router, and the
// two rate estimates of every link from the differences of their slopes.
#pragma once

#include "probe/path_prober.h"

// The figures of one hop's pass, in bits per second and relative uncertainty.
struct HopRates {
    double vN;    // from the toward-destination slopes of hops h and h-1
    double rN;    // relative uncertainty of vN
    double vNp;   // from the router-addressed echo slopes, less the first difference
    double rNp;   // relative uncertainty of vNp
};

// The rate arithmetic of one pass, given the far-hop (k2, k2p) and near-hop (k1, k1p)
// slopes in seconds per byte with their relative uncertainties.
HopRates computeHopRates(double k1, double a1, double k2, double a2,
                         double k1p, double a1p, double k2p, double a2p);

class LinkRateEstimator {
public:
    LinkRateEstimator(const char *destination, int hopCount, int iterations, int sizeCount,
                      char **sizeTexts);
    void run();

    PathProber *prober;
    char destText[64];
    char responderText[64];
    int maxTtl;
};

double square(double x);
