#include "cli/hop_names.h"

#include <map>

namespace hoprate {

void nameHops(std::vector<HopResult> &hops, std::chrono::milliseconds within, const NameLookup &lookup)
{
    std::vector<IpAddress> addresses;
    for (const HopResult &hop : hops) {
        if (hop.address)
            addresses.push_back(*hop.address);
    }
    const std::map<IpAddress, std::string> names = lookUpNames(addresses, within, lookup);
    for (HopResult &hop : hops) {
        if (!hop.address)
            continue;
        const auto found = names.find(*hop.address);
        if (found != names.end())
            hop.name = found->second;
    }
}

}  // namespace hoprate
