#include "cli/precise_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

#include "net/host_names.h"
#include "output/printable.h"

namespace hoprate {

namespace {

enum Option {
    Quick = 1,
    Json,
    Save,
    MaxHops,
    Budget,
    Target,
    Rate,
    Sizes,
    Spacing,
    TtlLimited,
    NoKernelStamps,
    Seed,
    Help,
    Proto,
    Port,
    Source,
    Interface,
    FirstHop,
    Targets,
    Version,
    Numeric,
    Directions,
};

// Every option of the accurate mode; getopt_long reads it up to its empty last entry.
const option longOptions[] = {{"quick", no_argument, nullptr, Quick},
                              {"json", no_argument, nullptr, Json},
                              {"save", required_argument, nullptr, Save},
                              {"max-hops", required_argument, nullptr, MaxHops},
                              {"budget", required_argument, nullptr, Budget},
                              {"target", required_argument, nullptr, Target},
                              {"rate", required_argument, nullptr, Rate},
                              {"sizes", required_argument, nullptr, Sizes},
                              {"spacing", required_argument, nullptr, Spacing},
                              {"ttl-limited", no_argument, nullptr, TtlLimited},
                              {"no-kernel-stamps", no_argument, nullptr, NoKernelStamps},
                              {"seed", required_argument, nullptr, Seed},
                              {"help", no_argument, nullptr, Help},
                              {"version", no_argument, nullptr, Version},
                              {"proto", required_argument, nullptr, Proto},
                              {"port", required_argument, nullptr, Port},
                              {"source", required_argument, nullptr, Source},
                              {"interface", required_argument, nullptr, Interface},
                              {"first-hop", required_argument, nullptr, FirstHop},
                              {"targets", required_argument, nullptr, Targets},
                              {"numeric", no_argument, nullptr, Numeric},  // and -n
                              {"directions", required_argument, nullptr, Directions},
                              {nullptr, 0, nullptr, 0}};

long wholeNumber(const char *name, const char *text, long lowest, long highest)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < lowest || value > highest)
        throw std::invalid_argument(std::string("--") + name + " needs a whole number from " +
                                    std::to_string(lowest) + " to " + std::to_string(highest) + ", not \"" +
                                    printableText(text) + "\"");
    return value;
}

double number(const char *name, const char *text, double lowest, double highest)
{
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value < lowest || value > highest)
        throw std::invalid_argument(std::string("--") + name + " needs a number from " + printed("%g", lowest) +
                                    " to " + printed("%g", highest) + ", not \"" + printableText(text) + "\"");
    return value;
}

ProtocolChoice protocolChoice(const std::string &text)
{
    if (text == "auto")
        return ProtocolChoice::Auto;
    if (text == "icmp")
        return ProtocolChoice::Icmp;
    if (text == "udp")
        return ProtocolChoice::Udp;
    if (text == "tcp")
        return ProtocolChoice::Tcp;
    throw std::invalid_argument("--proto needs auto, icmp, udp or tcp, not \"" + printableText(text) + "\"");
}

}  // namespace

std::span<const option> preciseLongOptions()
{
    return {longOptions, std::size(longOptions) - 1};
}

std::string preciseUsage()
{
    const PreciseSettings d;
    return "usage: hoprate --precise [OPTIONS] [--targets FILE] DESTINATION...\n"
           "\n"
           "Measures the capacity of every link on the path to DESTINATION (an IPv4 or IPv6\n"
           "address or a name): finds the path and each hop's address, then times probes of\n"
           "many sizes to every hop, interleaved, and fits the smallest round trips against\n"
           "the bytes each probe and its reply carry. Prints each link's capacity with its\n"
           "90 % interval. Several destinations are measured one after another (with --json,\n"
           "one document per line).\n"
           "\n"
           "  --targets FILE   more destinations, one per line ('#' starts a comment; - reads\n"
           "                   standard input)\n"
           "  -4, -6           the destination's IPv4 or IPv6 address (default: the resolver's first)\n"
           "  --proto P        auto, icmp, udp or tcp: what reaches the destination and the\n"
           "                   routers that answer no echo (default auto: echo where a node\n"
           "                   answers it, else UDP to a closed port, else TCP SYN)\n"
           "  --port N         destination port of UDP and TCP probes (default " +
           std::to_string(defaultUdpPort) + " for UDP, " + std::to_string(defaultTcpPort) +
           " for TCP)\n"
           "  --source ADDR    send from this local address\n"
           "  --interface NAME send by this network interface\n"
           "  --first-hop N    report the links from hop N on (hop N-1 is still measured)\n"
           "  --directions D   auto, insist or off: measure each link toward the destination\n"
           "                   and back apart (default auto: adds time-exceeded probes to\n"
           "                   routers that answer echo and UDP probes to a destination that\n"
           "                   does, about two thirds more probes, and up to 2 min more where\n"
           "                   they are rate-limited; directions that agree get one figure);\n"
           "                   insist: each direction on its own, to the target (up to twice\n"
           "                   the probes, and up to 10 min more where rate-limited); off: one\n"
           "                   figure for both directions, as a probe and its reply load a\n"
           "                   link together\n"
           "  -n, --numeric    show addresses only: look up no host names (default: each hop's\n"
           "                   name, looked up after the measurement, for " +
           std::to_string(nameLookupTime.count() / 1000) +
           " s at most)\n"
           "  --quick          a fast, coarser run (" +
           std::to_string(quickBudget) + " probes per hop, " + std::to_string(quickNoisyBudget) +
           " times that where the floors\n"
           "                   are noisy; target " +
           printed("%g", quickTarget * 100) +
           " %)\n"
           "  --json           print one JSON document instead of the table\n"
           "  --save FILE      also write every probe to FILE (CSV), for re-analysis\n"
           "  --max-hops N     look for the destination within N hops (default " +
           std::to_string(d.maxHops) +
           ")\n"
           "  --budget N       measurement probes per hop, shared over the path (default " +
           std::to_string(d.budget) +
           "; a hop\n"
           "                   may take up to twice its allowance, which is " +
           std::to_string(d.noisyBudget) +
           " times the budget\n"
           "                   while its floors are noisy; at least 2 x --sizes)\n"
           "  --target PCT     stop a link once its 90 % interval is within PCT percent (default " +
           printed("%g", d.target * 100) +
           ")\n"
           "  --rate N         send at most N probes per second (default: as fast as the path\n"
           "                   allows; finding the path sends one every 2 ms at most)\n"
           "  --sizes N        probe sizes per hop, from the smallest to the path MTU (default " +
           std::to_string(d.probeSizes) +
           ")\n"
           "  --spacing F      space probes by F times the bottleneck time of a probe and its reply\n"
           "                   (default " +
           printed("%g", d.gapFactor) +
           "; 0: only --rate and 0.2 ms at least)\n"
           "  --ttl-limited    measure routers with TTL-limited probes (time-exceeded replies) even\n"
           "                   when they answer echo requests addressed to them\n"
           "  --no-kernel-stamps  time probes with the program's clock only\n"
           "  --seed N         the random order of probes (default: a random one)\n"
           "  --help           print this text\n"
           "  --version        print hoprate's version\n"
           "\n"
           "Needs the capability CAP_NET_RAW (or root) for its raw sockets; drops it once they\n"
           "are open. Ctrl-C stops a run and prints what it has. Exit status: 0 when every\n"
           "link was measured; 2 for a partial result (the destination did not answer, the\n"
           "routers before it are measured, or a hop has no estimate); 128 + signal when a\n"
           "signal stopped it; 1 on any failure.\n";
}

PreciseOptions parsePreciseArguments(int argc, char **argv)
{
    PreciseOptions options;
    bool budgetGiven = false, targetGiven = false;
    optind = 0;
    opterr = 0;
    // argv[1] is --precise itself: parse from argv[2] on, with argv[0] as the name.
    std::vector<char *> args;
    args.push_back(argv[0]);
    for (int i = 2; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    const int count = static_cast<int>(args.size()) - 1;
    int chosen;
    // ":" makes a missing argument ':' rather than '?', which is every other complaint.
    while ((chosen = getopt_long(count, args.data(), ":46n", longOptions, nullptr)) != -1) {
        switch (chosen) {
        case '4': options.family = FamilyWish::V4; break;
        case '6': options.family = FamilyWish::V6; break;
        case 'n':
        case Numeric:
            options.numeric = true;
            break;
        case Quick: options.quick = true; break;
        case Json: options.json = true; break;
        case Targets:
            options.targets = optarg;
            if (options.targets.empty())
                throw std::invalid_argument("--targets needs a file name");
            break;
        case Save:
            options.save = optarg;
            if (options.save.empty())
                throw std::invalid_argument("--save needs a file name");
            break;
        case MaxHops: options.settings.maxHops = static_cast<int>(wholeNumber("max-hops", optarg, 1, 255)); break;
        case Budget:
            options.settings.budget = static_cast<int>(wholeNumber("budget", optarg, 16, 100000));
            budgetGiven = true;
            break;
        case Target:
            options.settings.target = number("target", optarg, 0.0001, 100) / 100.0;
            targetGiven = true;
            break;
        case Rate: options.settings.rate = number("rate", optarg, 1, 100000); break;
        // The fit needs three sizes: a line through two has no scatter to judge it by.
        case Sizes: options.settings.probeSizes = static_cast<int>(wholeNumber("sizes", optarg, 3, 200)); break;
        case Spacing: options.settings.gapFactor = number("spacing", optarg, 0, 100); break;
        case TtlLimited: options.settings.ttlLimited = true; break;
        case NoKernelStamps: options.settings.kernelStamps = false; break;
        case Seed: options.seed = static_cast<uint64_t>(wholeNumber("seed", optarg, 0, std::numeric_limits<long>::max())); break;
        case Help: options.help = true; break;
        case Version:
            options.version = true;
            break;
        case Proto: options.settings.protocol = protocolChoice(optarg); break;
        case Port: options.settings.port = static_cast<int>(wholeNumber("port", optarg, 1, 65535)); break;
        case Source:
            options.source = optarg;
            if (!parseAddress(options.source))
                throw std::invalid_argument("--source needs an IPv4 or IPv6 address, not \"" +
                                            printableText(options.source) + "\"");
            break;
        case Interface:
            options.interface = optarg;
            if (options.interface.empty() || options.interface.size() > 15 ||
                options.interface.find_first_of("/ \t\n") != std::string::npos)
                throw std::invalid_argument("--interface needs a network interface name, not \"" +
                                            printableText(options.interface) + "\"");
            break;
        case FirstHop: options.settings.firstHop = static_cast<int>(wholeNumber("first-hop", optarg, 1, 255)); break;
        case Directions:
            if (std::string(optarg) != "auto" && std::string(optarg) != "insist" && std::string(optarg) != "off")
                throw std::invalid_argument("--directions needs auto, insist or off, not \"" + printableText(optarg) +
                                            "\"");
            options.settings.directions = std::string(optarg) != "off";
            options.settings.insistDirections = std::string(optarg) == "insist";
            break;
        case ':':
            throw std::invalid_argument(std::string("option needs an argument: ") +
                                        printableText(args[static_cast<size_t>(optind - 1)]));
        default:
            // "-x" (optopt its letter, optind still on the word when letters follow) names
            // the letter; a long option the word as given.
            if (optopt > ' ')
                throw std::invalid_argument(std::string("unknown option: -") + static_cast<char>(optopt));
            if (optopt > 0)
                throw std::invalid_argument(std::string("option takes no argument: ") +
                                            printableText(args[static_cast<size_t>(optind - 1)]));
            throw std::invalid_argument(std::string("unknown option: ") +
                                        printableText(args[static_cast<size_t>(optind - 1)]));
        }
    }
    if (options.quick) {
        if (!budgetGiven)
            options.settings.budget = quickBudget;
        if (!targetGiven)
            options.settings.target = quickTarget;
        options.settings.noisyBudget = quickNoisyBudget;
        options.settings.quick = true;
    }
    if (options.help || options.version)
        return options;
    if (options.settings.firstHop > options.settings.maxHops)
        throw std::invalid_argument("--first-hop " + std::to_string(options.settings.firstHop) + " is beyond --max-hops " +
                                    std::to_string(options.settings.maxHops));
    if (optind >= count && options.targets.empty())
        throw std::invalid_argument("no destination given");
    for (int i = optind; i < count; ++i) {
        options.destinations.emplace_back(args[static_cast<size_t>(i)]);
        checkDestination(options, options.destinations.back());
    }
    return options;
}

void checkDestination(const PreciseOptions &options, const std::string &destination)
{
    if (destination.empty())
        throw std::invalid_argument("empty destination");
    if (!isAddressOrHostName(destination))
        throw std::invalid_argument("not an IP address or host name: \"" + printableText(destination) + "\"");
    // A literal of the other family than asked for is refused here, before any socket.
    if (const std::optional<IpAddress> literal = parseAddress(destination)) {
        const bool v4 = literal->family == Family::V4;
        if ((options.family == FamilyWish::V4 && !v4) || (options.family == FamilyWish::V6 && v4))
            throw std::invalid_argument(std::string(v4 ? "-6" : "-4") + " with an " + (v4 ? "IPv4" : "IPv6") +
                                        " address: " + destination);
    }
    if (!options.source.empty()) {
        const Family source = parseAddress(options.source)->family;
        const std::optional<IpAddress> literal = parseAddress(destination);
        const bool clash = (literal && literal->family != source) ||
                           (options.family == FamilyWish::V4 && source != Family::V4) ||
                           (options.family == FamilyWish::V6 && source != Family::V6);
        if (clash)
            throw std::invalid_argument("--source " + options.source + " is not of the destination's family");
    }
}

}  // namespace hoprate
