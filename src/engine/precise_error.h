// The failure of an accurate-mode run: the destination cannot be measured (it answers
// no echo request within the hop limit) or the network fails.
#pragma once

#include <stdexcept>

namespace hoprate {

class PreciseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace hoprate
