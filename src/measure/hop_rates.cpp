#include "measure/hop_rates.h"

#include <cmath>

namespace hoprate {

double square(double x)
{
    return x * x;
}

HopRates computeHopRates(const HopSlopes &slopes)
{
    const double k1 = slopes.k1.value, a1 = slopes.k1.relErr, k2 = slopes.k2.value, a2 = slopes.k2.relErr;
    const double k1p = slopes.k1p.value, a1p = slopes.k1p.relErr, k2p = slopes.k2p.value, a2p = slopes.k2p.relErr;
    HopRates rates;
    const double dN = k2p - k1p;
    const double dNp = (k2 - k1) - dN;
    rates.vN = 8.0 / dN;
    rates.vNp = 8.0 / dNp;
    const double sN = square(k1p * a1p) + square(k2p * a2p);
    const double sNp = (square(k1 * a1) + square(k2 * a2)) + sN;
    rates.rN = std::sqrt(sN) / dN;
    rates.rNp = std::sqrt(sNp) / dNp;
    return rates;
}

HopWalk::HopWalk(int hopCount, Slope echoTowardDestination, Slope udpTowardDestination)
    : hop(hopCount > 0 ? hopCount : 0), far(echoTowardDestination), farDest(udpTowardDestination)
{
}

HopPass HopWalk::pass(Slope towardDestination, Slope toRouter)
{
    HopPass p;
    p.hop = hop;
    p.k1 = toRouter;
    p.k2 = far;
    p.k1p = towardDestination;
    p.k2p = farDest;
    p.rates = computeHopRates(HopSlopes{p.k1, p.k2, p.k1p, p.k2p});
    far = toRouter;
    farDest = towardDestination;
    if (hop > 0)
        --hop;
    return p;
}

}  // namespace hoprate
