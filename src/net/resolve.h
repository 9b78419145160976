// Names and addresses: the destination, and the local host's own name.
#pragma once

#include <optional>
#include <string>

#include "wire/ip_address.h"

namespace hoprate {

// The address of a destination text: the dotted-quad conversion for a text that begins
// with a digit (a malformed one, or 255.255.255.255, gives nothing), a name look-up
// otherwise (a name without an IPv4 address gives nothing). A text with a '/' gives
// nothing, whatever the hosts file says.
std::optional<Ipv4Address> resolveHost(const std::string &destination);
// True when the text begins with an ASCII digit: such a destination is an address.
bool beginsWithDigit(const std::string &text);

// True when the text is exactly a dotted quad (four decimal numbers to 255, nothing
// before or after), an IPv6 address (a text with a ':', as inet_pton reads it) or a host
// name: labels of 1 to 63 letters, digits, '-' or '_' joined by dots, 253 characters at
// most, one final dot allowed. A text of digits and dots only is judged as an address.
bool isAddressOrHostName(const std::string &text);

// The family a destination is asked for (-4, -6), or either.
enum class FamilyWish { Any, V4, V6 };

// A destination's address: a literal as it is, a name by getaddrinfo (its first address
// of the family asked for, the resolver's first otherwise). Nothing, with the complaint
// in `error` ("unknown host: NAME", "no IPv6 address for NAME", "-4 with an IPv6
// address: TEXT"), when there is none.
struct Resolved {
    std::optional<IpAddress> address;
    std::string error;
};
Resolved resolveDestination(const std::string &text, FamilyWish wish);

// An address literal (no name look-up): the source address of --source.
std::optional<IpAddress> parseAddress(const std::string &text);

// The local host name as gethostname reports it into a 64-byte buffer, or the errno.
struct LocalName {
    std::string name;
    int error = 0;
};
LocalName localHostName();
// True when the name resolves (gethostbyname); errno tells why not.
bool nameResolves(const std::string &name);

}  // namespace hoprate
