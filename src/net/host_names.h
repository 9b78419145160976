// Host names of addresses: reverse look-ups for the accurate mode's table and JSON document,
// made once the measurement is over, so they never slow it or send a packet during it.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wire/ip_address.h"

namespace hoprate {

// How long a run waits for the names of its hops, all look-ups together: a name that is
// not back by then is left out.
constexpr std::chrono::milliseconds nameLookupTime{2000};

// The name the system's resolver gives an address (getnameinfo with NI_NAMEREQD: the hosts
// file, DNS, whatever nsswitch.conf says), or nothing. Any byte but NUL may be in it.
std::optional<std::string> reverseName(const IpAddress &address);

// One look-up. It runs on a thread of its own and may outlive the call of lookUpNames that
// started it: whatever it refers to must live as long as it runs.
using NameLookup = std::function<std::optional<std::string>(const IpAddress &)>;

// The names of the addresses, each distinct address looked up once, all at once (a thread
// each), for at most `within`; an address without a name, or whose look-up has not
// returned by then, is not in the map. Look-ups still running are abandoned: they keep
// what they share with each other alive until they end, and nothing of the caller's is
// touched after the return. Signals go to the calling thread, never to a look-up.
std::map<IpAddress, std::string> lookUpNames(const std::vector<IpAddress> &addresses, std::chrono::milliseconds within,
                                             const NameLookup &lookup = reverseName);

}  // namespace hoprate
