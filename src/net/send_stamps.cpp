#include "net/send_stamps.h"

namespace hoprate {

std::optional<KeyedStamp> stampOfSend(std::span<const KeyedStamp> drained, uint32_t expected)
{
    std::optional<KeyedStamp> found;
    for (const KeyedStamp &s : drained) {
        const auto ahead = static_cast<int32_t>(s.key - expected);
        if (ahead >= 0 && (!found || static_cast<int32_t>(s.key - found->key) > 0))
            found = s;
    }
    return found;
}

}  // namespace hoprate
