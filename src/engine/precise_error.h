// The failure of an accurate-mode run: the destination cannot be measured (it answers
// no echo request within the hop limit) or the network fails.
#pragma once

#include <stdexcept>

namespace hoprate {

class PreciseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A signal asked the run to stop (the network's wait reported it): while measuring, the
// engine estimates from what it has; before that, the run ends with this.
class PreciseInterrupted : public std::runtime_error {
public:
    PreciseInterrupted() : std::runtime_error("interrupted") {}
};

}  // namespace hoprate
