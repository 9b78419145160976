#include "net/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hoprate {

bool beginsWithDigit(const std::string &text)
{
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

std::optional<Ipv4Address> resolveHost(const std::string &destination)
{
    // A destination name becomes part of the results path: one with a '/' would lead it
    // out of data/, so it is no host (no address has one either).
    if (destination.find('/') != std::string::npos)
        return std::nullopt;
    if (beginsWithDigit(destination)) {
        // A malformed dotted quad must not become the broadcast address.
        in_addr address{};
        if (inet_aton(destination.c_str(), &address) == 0 || address.s_addr == INADDR_NONE)
            return std::nullopt;
        return address.s_addr;
    }
    const hostent *host = gethostbyname(destination.c_str());
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr)
        return std::nullopt;
    Ipv4Address address;
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    return address;
}

bool isAddressOrHostName(const std::string &text)
{
    if (text.empty())
        return false;
    if (text.find(':') != std::string::npos) {
        in6_addr address{};
        return inet_pton(AF_INET6, text.c_str(), &address) == 1;
    }
    if (text.find_first_not_of("0123456789.") == std::string::npos) {
        in_addr address{};
        return inet_pton(AF_INET, text.c_str(), &address) == 1;
    }
    const std::string name = text.back() == '.' ? text.substr(0, text.size() - 1) : text;
    if (name.empty() || name.size() > 253)
        return false;
    size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '-' || c == '_';
        if (!allowed || ++label > 63)
            return false;
    }
    return label > 0;
}

std::optional<IpAddress> parseAddress(const std::string &text)
{
    in_addr v4{};
    if (text.find(':') == std::string::npos && inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return IpAddress::v4(v4.s_addr);
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1)
        return IpAddress::v6(v6.s6_addr);
    return std::nullopt;
}

Resolved resolveDestination(const std::string &text, FamilyWish wish)
{
    Resolved resolved;
    if (const std::optional<IpAddress> literal = parseAddress(text)) {
        const bool v4 = literal->family == Family::V4;
        if ((wish == FamilyWish::V4 && !v4) || (wish == FamilyWish::V6 && v4))
            resolved.error = std::string(wish == FamilyWish::V4 ? "-4" : "-6") + " with an " +
                             (v4 ? "IPv4" : "IPv6") + " address: " + text;
        else
            resolved.address = literal;
        return resolved;
    }
    addrinfo hints{};
    hints.ai_family = wish == FamilyWish::V4 ? AF_INET : wish == FamilyWish::V6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int status = getaddrinfo(text.c_str(), nullptr, &hints, &found);
    if (status == 0) {
        for (const addrinfo *a = found; a != nullptr && !resolved.address; a = a->ai_next) {
            if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in))
                resolved.address = IpAddress::v4(reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr);
            else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6))
                resolved.address = IpAddress::v6(reinterpret_cast<const sockaddr_in6 *>(a->ai_addr)->sin6_addr.s6_addr);
        }
        freeaddrinfo(found);
    }
    if (resolved.address)
        return resolved;
    // The name exists, but not with an address of the family asked for.
    if (wish != FamilyWish::Any) {
        hints.ai_family = AF_UNSPEC;
        if (getaddrinfo(text.c_str(), nullptr, &hints, &found) == 0) {
            freeaddrinfo(found);
            resolved.error = std::string("no ") + (wish == FamilyWish::V4 ? "IPv4" : "IPv6") + " address for " + text;
            return resolved;
        }
    }
    resolved.error = "unknown host: " + text;
    return resolved;
}

LocalName localHostName()
{
    char name[64];
    if (gethostname(name, sizeof name) != 0)
        return {"", errno};
    name[sizeof name - 1] = '\0';
    return {name, 0};
}

bool nameResolves(const std::string &name)
{
    const hostent *self = gethostbyname(name.c_str());
    return self != nullptr && self->h_addr_list != nullptr && self->h_addr_list[0] != nullptr;
}

}  // namespace hoprate
