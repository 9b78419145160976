// What LinuxNetwork::route tells of the way to an address (a UDP socket, no privileges,
// nothing sent): the loopback's route, and nothing from a source the host does not have.
#include <gtest/gtest.h>

#include "net/linux_network.h"
#include "net/resolve.h"

using namespace hoprate;

namespace {

TEST(LinuxRoute, NothingIsKnownFromASourceTheHostCannotBind)
{
    const IpAddress loopback = *parseAddress("127.0.0.1");
    LinuxNetwork plain;
    const Route direct = plain.route(loopback);
    if (!direct.mtu)
        GTEST_SKIP() << "no route to the loopback here";
    EXPECT_EQ(direct.source, loopback);

    // With no socket open yet the address is taken without a bind; it is not the host's
    // (TEST-NET-1), so the route cannot start there and must not be another source's.
    LinuxNetwork elsewhere;
    ASSERT_EQ(elsewhere.bindTo(*parseAddress("192.0.2.1")), 0);
    const Route route = elsewhere.route(loopback);
    EXPECT_FALSE(route.mtu);
    EXPECT_FALSE(route.source);
}

}  // namespace
