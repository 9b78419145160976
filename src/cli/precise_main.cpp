#include "cli/precise_main.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "cli/front_door.h"
#include "cli/hop_names.h"
#include "cli/targets.h"
#include "engine/precise_engine.h"
#include "net/linux_network.h"
#include "output/precise_report.h"
#include "output/printable.h"
#include "output/probe_log.h"
#include "support/entropy.h"
#include "support/files.h"
#include "support/privileges.h"
#include "support/stop_signals.h"

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

// The family every target is of, when the command line tells it.
std::optional<Family> knownFamily(const PreciseOptions &options, const std::vector<std::string> &targets)
{
    if (options.family != FamilyWish::Any)
        return options.family == FamilyWish::V4 ? Family::V4 : Family::V6;
    if (!options.source.empty())
        return parseAddress(options.source)->family;
    const std::optional<IpAddress> first = parseAddress(targets.front());
    if (!first)
        return std::nullopt;
    for (const std::string &target : targets) {
        const std::optional<IpAddress> literal = parseAddress(target);
        if (!literal || literal->family != first->family)
            return std::nullopt;
    }
    return first->family;
}

// How the run toward one destination ended: its exit status, and the signal that stopped
// it (0: none).
struct Outcome {
    int status = 0;
    int stopSignal = 0;
};

Outcome measureTarget(const std::string &target, FamilyWish wish, const PreciseOptions &options, FamilySockets &v4,
                      FamilySockets &v6, const Delivery &delivery)
{
    const Resolved resolved = resolveDestination(target, wish);
    if (!resolved.address) {
        std::fprintf(stderr, "hoprate: %s\n", resolved.error.c_str());
        return {1, 0};
    }
    const IpAddress destination = *resolved.address;
    FamilySockets &chosen = destination.family == Family::V4 ? v4 : v6;
    if (!chosen.failure.empty() || !chosen.network) {
        std::fprintf(stderr, "hoprate: %s\n",
                     chosen.failure.empty() ? "no socket of the destination's family" : chosen.failure.c_str());
        return {1, 0};
    }
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
            return {1, 0};
        }
        flows.udpSource = udp.error == 0 ? udp.localPort : 0;
    }
    if (network.descriptor(Channel::Tcp) >= 0)
        flows.tcpSource = network.prepare(Channel::Tcp, std::nullopt).localPort;
    flows.udpDestination = static_cast<uint16_t>(options.settings.port ? options.settings.port : defaultUdpPort);
    flows.tcpDestination = static_cast<uint16_t>(options.settings.port ? options.settings.port : defaultTcpPort);

    ProgressLine line(isatty(STDERR_FILENO) == 1);
    try {
        PreciseEngine engine(network, effectiveSettings(options.settings), drawProbeSecrets(), flows,
                             [&](const PreciseProgress &p) { line.show(p); });
        const auto started =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
        PreciseResult result = engine.run(destination);
        result.startedUnixMs = started.count();
        if (!options.numeric && result.complete) {
            line.show({"looking up host names", static_cast<int>(result.hops.size()), result.probesSent, 0, 0});
            nameHops(result.hops, nameLookupTime);
        }
        line.finish();
        const int status = deliverPreciseResult(result, target, options, delivery);
        return {status, result.complete ? 0 : network.stopSignal()};
    } catch (const PreciseInterrupted &) {
        line.finish();
        std::fprintf(stderr, "hoprate: %s: interrupted before any link was measured\n", printableText(target).c_str());
        return {1, network.stopSignal()};
    } catch (const PreciseError &failure) {
        line.finish();
        std::fprintf(stderr, "hoprate: %s\n", failure.what());
        return {1, 0};
    } catch (const std::bad_alloc &) {
        line.finish();
        std::fprintf(stderr, "hoprate: out of memory\n");
        return {1, 0};
    }
}

}  // namespace

int preciseMain(int argc, char **argv)
{
    PreciseOptions options;
    try {
        options = parsePreciseArguments(argc, argv);
    } catch (const std::invalid_argument &complaint) {
        std::fprintf(stderr, "hoprate: %s\nusage: hoprate --precise [OPTIONS] DESTINATION... (see --help)\n",
                     complaint.what());
        return 1;
    }
    if (options.help)
        return writeStandardOutput(preciseUsage()) ? 0 : 1;
    if (options.version)
        return writeStandardOutput(versionLine()) ? 0 : 1;
    // A drawn seed stays below 2^53: exact as a JSON number, and accepted back by --seed.
    options.settings.seed = options.seed ? *options.seed : randomWord() & ((uint64_t{1} << 53) - 1);

    std::vector<std::string> targets = options.destinations;
    if (!options.targets.empty()) {
        const TargetList more = readTargets(options.targets, options);
        if (!more.error.empty()) {
            std::fprintf(stderr, "hoprate: %s\n", more.error.c_str());
            return 1;
        }
        targets.insert(targets.end(), more.destinations.begin(), more.destinations.end());
    }

    // The family is known from -4, -6, address literals or --source; for a name it is known
    // only once resolved, so both families' sockets are opened while the privileges last.
    const std::optional<Family> family = knownFamily(options, targets);
    FamilySockets v4, v6;
    if (!family || *family == Family::V4)
        v4 = openFamily(Family::V4, options);
    if (!family || *family == Family::V6)
        v6 = openFamily(Family::V6, options);
    dropPrivileges();  // the raw sockets are open: nothing later needs privileges
    const FamilyWish wish = family ? (*family == Family::V4 ? FamilyWish::V4 : FamilyWish::V6) : FamilyWish::Any;

    // The probe log's file is opened before the first probe: a path that cannot be
    // written is told now, not after the run.
    Delivery delivery;
    if (!options.save.empty()) {
        delivery.saveDescriptor = openForWriting(options.save, false);
        if (delivery.saveDescriptor < 0) {
            std::fprintf(stderr, "hoprate: %s: %s\n", printableText(options.save).c_str(), std::strerror(errno));
            return 1;
        }
    }
    // From here on SIGINT and SIGTERM end the run in order, with what it has measured.
    const StopSignals stops;
    for (FamilySockets *sockets : {&v4, &v6})
        if (sockets->network)
            sockets->network->watchStopSignals(stops.descriptor());
    delivery.jsonLines = options.json && targets.size() > 1;
    // The worst of the targets' statuses: a failure, then a partial result, then none.
    int worst = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        delivery.blankLineBefore = !options.json && i > 0;
        const Outcome outcome = measureTarget(targets[i], wish, options, v4, v6, delivery);
        if (outcome.stopSignal != 0) {
            worst = 128 + outcome.stopSignal;  // and the targets after it are not measured
            break;
        }
        if (outcome.status == 1 || (outcome.status == 2 && worst == 0))
            worst = outcome.status;
    }
    if (delivery.saveDescriptor >= 0 && close(delivery.saveDescriptor) != 0) {
        std::fprintf(stderr, "hoprate: %s: %s\n", printableText(options.save).c_str(), std::strerror(errno));
        worst = 1;
    }
    return worst;
}

int deliverPreciseResult(const PreciseResult &result, const std::string &destination, const PreciseOptions &options,
                         const Delivery &how)
{
    // The result goes to standard output whatever becomes of the probe log: a full disk
    // must not cost the measurement. Either failure sets the status.
    // A partial result: the destination not reached, or a hop that answered without an
    // estimate (a silent hop's link is reported with the next one's).
    const bool everyLink = std::all_of(result.hops.begin(), result.hops.end(), [](const HopResult &hop) {
        return hop.method == HopMethod::Silent || hop.capacity.known;
    });
    int status = result.destinationReached && everyLink ? 0 : 2;
    const std::string out = options.json ? formatPreciseJson(result, destination, how.jsonLines)
                                         : (how.blankLineBefore ? "\n" : "") + formatPreciseTable(result, destination);
    if (!writeStandardOutput(out)) {
        std::fprintf(stderr, "hoprate: standard output: %s\n", std::strerror(errno));
        status = 1;
    }
    const bool saved =
        how.saveDescriptor >= 0 ? writeAll(how.saveDescriptor, formatProbeLog(result, destination, result.settings))
        : options.save.empty()  ? true
                                : writeWholeFile(options.save, formatProbeLog(result, destination, result.settings));
    if (!saved) {
        std::fprintf(stderr, "hoprate: %s: %s\n", printableText(options.save).c_str(), std::strerror(errno));
        status = 1;
    }
    return status;
}

}  // namespace hoprate
