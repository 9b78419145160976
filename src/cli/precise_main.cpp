#include "cli/precise_main.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "cli/front_door.h"
#include "cli/hop_names.h"
#include "engine/precise_engine.h"
#include "net/linux_network.h"
#include "output/precise_report.h"
#include "output/printable.h"
#include "support/entropy.h"
#include "support/files.h"
#include "support/privileges.h"

namespace hoprate {

namespace {

bool writeStandardOutput(const std::string &text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

// The sockets of one address family, opened while the privileges last; a failure is
// kept as its message, to be told only if this family is the one the run needs.
struct FamilySockets {
    std::unique_ptr<LinuxNetwork> network;
    std::string failure;
};

std::string preparedFailure(const Prepared &p, const char *what, const PreciseOptions &options)
{
    if (p.failed == PrepareStep::Device)
        return "--interface " + options.interface + ": " + std::strerror(p.error);
    if (p.failed == PrepareStep::Bind)
        return std::string(what) + ": " + std::strerror(p.error);
    return std::string(what) + ": " + std::strerror(p.error) + (p.error == EPERM ? " (needs root or CAP_NET_RAW)" : "");
}

FamilySockets openFamily(Family family, const PreciseOptions &options)
{
    FamilySockets f;
    const bool v4 = family == Family::V4;
    f.network = std::make_unique<LinuxNetwork>(
        SocketOptions{family, options.settings.kernelStamps, true, 4 << 20, options.interface});
    const Prepared icmp = f.network->prepare(Channel::Icmp, std::nullopt);
    if (icmp.error != 0) {
        f.failure = preparedFailure(icmp, v4 ? "raw ICMP socket" : "raw ICMPv6 socket", options);
        return f;
    }
    if (!options.source.empty()) {
        if (const int error = f.network->bindTo(*parseAddress(options.source))) {
            f.failure = "--source " + options.source + ": " + std::strerror(error);
            return f;
        }
    }
    // TCP SYN probes need a raw socket too; without one, auto goes without them.
    const ProtocolChoice proto = options.settings.protocol;
    if (proto == ProtocolChoice::Auto || proto == ProtocolChoice::Tcp) {
        const Prepared tcp = f.network->prepare(Channel::Tcp, std::nullopt);
        if (tcp.error != 0 && proto == ProtocolChoice::Tcp)
            f.failure = preparedFailure(tcp, "raw TCP socket", options);
    }
    return f;
}

}  // namespace

int preciseMain(int argc, char **argv)
{
    PreciseOptions options;
    try {
        options = parsePreciseArguments(argc, argv);
    } catch (const std::invalid_argument &complaint) {
        std::fprintf(stderr, "hoprate: %s\nusage: hoprate --precise [OPTIONS] DESTINATION (see --help)\n",
                     complaint.what());
        return 1;
    }
    if (options.help)
        return writeStandardOutput(preciseUsage()) ? 0 : 1;
    if (options.version)
        return writeStandardOutput(versionLine()) ? 0 : 1;
    options.settings.seed = options.seed ? *options.seed : randomWord();

    // The family is known from -4, -6, an address literal or --source; for a name it is
    // known only once resolved, so both families' sockets are opened while the privileges
    // last, and the other is closed.
    std::optional<Family> family;
    if (options.family != FamilyWish::Any)
        family = options.family == FamilyWish::V4 ? Family::V4 : Family::V6;
    else if (const std::optional<IpAddress> literal = parseAddress(options.destination))
        family = literal->family;
    else if (!options.source.empty())
        family = parseAddress(options.source)->family;
    FamilySockets v4, v6;
    if (!family || *family == Family::V4)
        v4 = openFamily(Family::V4, options);
    if (!family || *family == Family::V6)
        v6 = openFamily(Family::V6, options);
    dropPrivileges();  // the raw sockets are open: nothing later needs privileges

    const FamilyWish wish = family ? (*family == Family::V4 ? FamilyWish::V4 : FamilyWish::V6) : FamilyWish::Any;
    const Resolved resolved = resolveDestination(options.destination, wish);
    if (!resolved.address) {
        std::fprintf(stderr, "hoprate: %s\n", resolved.error.c_str());
        return 1;
    }
    const IpAddress destination = *resolved.address;
    FamilySockets &chosen = destination.family == Family::V4 ? v4 : v6;
    if (!chosen.failure.empty()) {
        std::fprintf(stderr, "hoprate: %s\n", chosen.failure.c_str());
        return 1;
    }
    (destination.family == Family::V4 ? v6 : v4).network.reset();
    LinuxNetwork &network = *chosen.network;

    // Where the probes leave from: the checksums of IPv6 echo, UDP and TCP probes cover it.
    FlowSetup flows;
    flows.family = destination.family;
    const Route route = network.route(destination);
    if (!options.source.empty())
        flows.source = *parseAddress(options.source);
    else if (route.source)
        flows.source = *route.source;
    const ProtocolChoice proto = options.settings.protocol;
    if (proto == ProtocolChoice::Auto || proto == ProtocolChoice::Udp) {
        const Prepared udp = network.prepare(Channel::Udp, std::nullopt);
        if (udp.error != 0 && proto == ProtocolChoice::Udp) {
            std::fprintf(stderr, "hoprate: %s\n", preparedFailure(udp, "UDP socket", options).c_str());
            return 1;
        }
        flows.udpSource = udp.error == 0 ? udp.localPort : 0;
    }
    if (network.descriptor(Channel::Tcp) >= 0)
        flows.tcpSource = network.prepare(Channel::Tcp, std::nullopt).localPort;
    flows.udpDestination = static_cast<uint16_t>(options.settings.port ? options.settings.port : defaultUdpPort);
    flows.tcpDestination = static_cast<uint16_t>(options.settings.port ? options.settings.port : defaultTcpPort);

    try {
        ProgressLine line(isatty(STDERR_FILENO) == 1);
        PreciseEngine engine(network, effectiveSettings(options.settings), drawProbeSecrets(), flows,
                             [&](const PreciseProgress &p) { line.show(p); });
        PreciseResult result = engine.run(destination);
        if (!options.numeric) {
            line.show({"looking up host names", static_cast<int>(result.hops.size()), result.probesSent, 0, 0});
            nameHops(result.hops, nameLookupTime);
        }
        line.finish();
        return deliverPreciseResult(result, options);
    } catch (const PreciseError &failure) {
        std::fprintf(stderr, "hoprate: %s\n", failure.what());
        return 1;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "hoprate: out of memory\n");
        return 1;
    }
}

int deliverPreciseResult(const PreciseResult &result, const PreciseOptions &options)
{
    // The result goes to standard output whatever becomes of the probe log: a full disk
    // must not cost the measurement. Either failure sets the status.
    int status = result.destinationReached ? 0 : 2;
    const std::string out = options.json ? formatPreciseJson(result, options.destination)
                                         : formatPreciseTable(result, options.destination);
    if (!writeStandardOutput(out)) {
        std::fprintf(stderr, "hoprate: standard output: %s\n", std::strerror(errno));
        status = 1;
    }
    if (!options.save.empty() && !writeWholeFile(options.save, formatProbeLog(result, options.destination))) {
        std::fprintf(stderr, "hoprate: %s: %s\n", printableText(options.save).c_str(), std::strerror(errno));
        status = 1;
    }
    return status;
}

}  // namespace hoprate
