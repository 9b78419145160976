#include "estimate/link_rate_estimator.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "cli/run_config.h"
#include "estimate/rate_format.h"
#include "support/diagnostics.h"

double square(double x)
{
    return x * x;
}

HopRates computeHopRates(double k1, double a1, double k2, double a2,
                         double k1p, double a1p, double k2p, double a2p)
{
    HopRates rates{};
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

LinkRateEstimator::LinkRateEstimator(const char *destination, int hopCount, int iterations,
                                     int sizeCount, char **sizeTexts)
    : prober(nullptr), destText{}, responderText{}, maxTtl(hopCount)
{
    if (std::strlen(destination) >= sizeof destText)
        fatalError("destination too long (at most %d characters): %s\n",
                   static_cast<int>(sizeof destText) - 1, destination);
    std::strncpy(destText, destination, sizeof destText);
    prober = new (std::nothrow) PathProber(destText, hopCount, "icmp", iterations, sizeCount, sizeTexts);
    if (prober == nullptr)
        fatalError("out of memory\n");
}

void LinkRateEstimator::run()
{
    const int n = maxTtl;
    double a2 = 0.0;
    double a2p = 0.0;
    double a1p = 0.0;
    double a1 = 0.0;

    double k2 = prober->runSweep(a2);
    prober->setTarget(destText, n, "udp");
    double k2p = prober->runSweep(a2p);

    for (int i = 0; i < n; ++i) {
        const int h = n - i;
        double k1p = 0.0;
        double k1 = 0.0;
        a1p = 0.0;
        a1 = 0.0;
        if (h != 1) {
            prober->setTarget(destText, h - 1, "icmp");
            k1p = prober->runSweep(a1p);
            // With no reply accepted in this run yet, no router address exists to aim at.
            if (!prober->responderKnown)
                fatalError("no reply from hop %d: no router address to probe\n", h - 1);
            std::strncpy(responderText, prober->lastResponderText(), sizeof responderText - 1);
            responderText[sizeof responderText - 1] = '\0';
            prober->setTarget(responderText, h - 1, "icmp");
            k1 = prober->runSweep(a1);
        }

        const HopRates rates = computeHopRates(k1, a1, k2, a2, k1p, a1p, k2p, a2p);
        if (verbose) {
            std::printf("k1=%e, k2=%e, k1p=%e, k2p=%e\n", k1, k2, k1p, k2p);
            std::printf("a1=%e, a2=%e, a1p=%e, a2p=%e\n", a1, a2, a1p, a2p);
        }
        std::printf("v_n = %sb/s, ", formatRate(rates.vN, rates.rN));
        std::printf("v_n' = %sb/s\n", formatRate(rates.vNp, rates.rNp));

        k2 = k1;
        a2 = a1;
        k2p = k1p;
        a2p = a1p;
    }
}
