#include "measure/hop_rates.h"

#include <cmath>

namespace hoprate {

double square(double x)
{
    return x * x;
}

HopRates computeHopRates(double k1, double a1, double k2, double a2, double k1p, double a1p, double k2p, double a2p)
{
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
    p.rates = computeHopRates(p.k1.value, p.k1.relErr, p.k2.value, p.k2.relErr, p.k1p.value, p.k1p.relErr,
                              p.k2p.value, p.k2p.relErr);
    far = toRouter;
    farDest = towardDestination;
    if (hop > 0)
        --hop;
    return p;
}

}  // namespace hoprate
