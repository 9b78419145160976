// The capacity of a link from the floor slopes of the hops at its two ends.
#pragma once

namespace hoprate {

struct SlopeEstimate {
    double value = 0;  // seconds per byte, one direction, summed over the links crossed
    double stdev = 0;
};

struct CapacityEstimate {
    bool known = false;       // false: the slopes say nothing (no fit, or a slope that falls)
    bool lowerBound = false;  // the link is too fast to resolve: only a lower bound holds
    double bitsPerSecond = 0; // the estimate, or the lower bound
    double low = 0;           // 90 % interval (with lowerBound: low = the bound, no high)
    double high = 0;
};

// The link between a near hop and a far one (the near slope is 0 with no deviation for
// the first link): 8 bits / (far - near). The 90 % interval comes from the slopes'
// deviations, a systematic per-byte uncertainty of the host's timing and a relative one
// (a fraction of the difference: timing effects that grow with the time a link holds a
// byte), all combined in quadrature. When the interval of the slope difference reaches zero, the link is
// faster than this host can resolve and only the lower end is kept.
CapacityEstimate linkCapacity(SlopeEstimate near, SlopeEstimate far, double systematic, double relative = 0);

// Two readings of one link's rate (its two directions, from the same hops) apart by more
// than twice their facing half-widths: such readings move in opposite ways, so intervals
// that merely miss each other happen on one symmetric link in ten. Readings not both
// known, or a lower bound, are never apart.
bool readingsApart(const CapacityEstimate &a, const CapacityEstimate &b);

}  // namespace hoprate
