#include "cli/precise_main.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "net/linux_network.h"
#include "net/resolve.h"
#include "output/precise_report.h"
#include "output/printable.h"
#include "support/entropy.h"
#include "support/files.h"
#include "support/privileges.h"

namespace hoprate {

const char preciseUsageText[] =
    "usage: hoprate --precise [OPTIONS] DESTINATION\n"
    "\n"
    "Measures the capacity of every link on the path to DESTINATION: finds the path and\n"
    "each hop's address, then times echo probes of many sizes to every hop, interleaved,\n"
    "and fits the smallest round trips against the bytes each probe and its reply carry.\n"
    "Prints each link's capacity with its 90 % interval.\n"
    "\n"
    "  --quick          a fast, coarser run (150 probes per hop, twice that where the floors\n"
    "                   are noisy; target 0.1 %)\n"
    "  --json           print one JSON document instead of the table\n"
    "  --save FILE      also write every probe to FILE (CSV), for re-analysis\n"
    "  --max-hops N     look for the destination within N hops (default 30)\n"
    "  --budget N       probes per hop while measuring, shared over the path (default 300)\n"
    "  --target PCT     stop a link once its 90 % interval is within PCT percent (default 0.04)\n"
    "  --rate N         send at most N probes per second (default: as fast as the path allows)\n"
    "  --sizes N        probe sizes per hop, from the smallest to the path MTU (default 16)\n"
    "  --spacing F      space probes by F times the bottleneck time of a probe and its reply\n"
    "                   (default 1.2; 0 sends as fast as --rate allows)\n"
    "  --ttl-limited    measure routers with TTL-limited probes (time-exceeded replies) even\n"
    "                   when they answer echo requests addressed to them\n"
    "  --no-kernel-stamps  time probes with the program's clock only\n"
    "  --seed N         the random order of probes (default: a random one)\n"
    "  --help           print this text\n"
    "\n"
    "Needs the capability CAP_NET_RAW (or root) for its raw ICMP socket; drops it once the\n"
    "socket is open. Exit status: 0 when the path was measured, 1 on any failure.\n";

namespace {

enum Option { Quick = 1, Json, Save, MaxHops, Budget, Target, Rate, Sizes, Spacing, TtlLimited, NoKernelStamps, Seed, Help };

long wholeNumber(const char *name, const char *text, long lowest, long highest)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < lowest || value > highest)
        throw std::invalid_argument(std::string("--") + name + " needs a whole number from " +
                                    std::to_string(lowest) + " to " + std::to_string(highest) + ", not \"" + text +
                                    "\"");
    return value;
}

std::string shortNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

double number(const char *name, const char *text, double lowest, double highest)
{
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value < lowest || value > highest)
        throw std::invalid_argument(std::string("--") + name + " needs a number from " + shortNumber(lowest) + " to " +
                                    shortNumber(highest) + ", not \"" + text + "\"");
    return value;
}

bool writeStandardOutput(const std::string &text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

}  // namespace

PreciseOptions parsePreciseArguments(int argc, char **argv)
{
    static const option longOptions[] = {
        {"quick", no_argument, nullptr, Quick},       {"json", no_argument, nullptr, Json},
        {"save", required_argument, nullptr, Save},   {"max-hops", required_argument, nullptr, MaxHops},
        {"budget", required_argument, nullptr, Budget}, {"target", required_argument, nullptr, Target},
        {"rate", required_argument, nullptr, Rate},   {"sizes", required_argument, nullptr, Sizes},
        {"spacing", required_argument, nullptr, Spacing}, {"ttl-limited", no_argument, nullptr, TtlLimited},
        {"no-kernel-stamps", no_argument, nullptr, NoKernelStamps},
        {"seed", required_argument, nullptr, Seed},   {"help", no_argument, nullptr, Help},
        {nullptr, 0, nullptr, 0}};
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
    while ((chosen = getopt_long(count, args.data(), ":", longOptions, nullptr)) != -1) {
        switch (chosen) {
        case Quick: options.quick = true; break;
        case Json: options.json = true; break;
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
        case ':': throw std::invalid_argument(std::string("option needs an argument: ") + args[static_cast<size_t>(optind - 1)]);
        default:
            // There are no short options: "-x" (optopt its letter, optind still on the word
            // when letters follow) names the letter; a long option the word as given.
            if (optopt > ' ')
                throw std::invalid_argument(std::string("unknown option: -") + static_cast<char>(optopt));
            if (optopt > 0)
                throw std::invalid_argument(std::string("option takes no argument: ") + args[static_cast<size_t>(optind - 1)]);
            throw std::invalid_argument(std::string("unknown option: ") + args[static_cast<size_t>(optind - 1)]);
        }
    }
    if (options.quick) {
        if (!budgetGiven)
            options.settings.budget = quickBudget;
        if (!targetGiven)
            options.settings.target = quickTarget;
        options.settings.noisyBudget = quickNoisyBudget;
    }
    if (options.help)
        return options;
    if (optind >= count)
        throw std::invalid_argument("no destination given");
    if (optind + 1 < count)
        throw std::invalid_argument(std::string("more than one destination: ") + args[static_cast<size_t>(optind)] +
                                    " and " + args[static_cast<size_t>(optind + 1)]);
    options.destination = args[static_cast<size_t>(optind)];
    if (options.destination.empty())
        throw std::invalid_argument("empty destination");
    if (!isAddressOrHostName(options.destination))
        throw std::invalid_argument("not an IPv4 address or host name: \"" + printableText(options.destination) + "\"");
    return options;
}

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
        return writeStandardOutput(preciseUsageText) ? 0 : 1;
    options.settings.seed = options.seed ? *options.seed : randomWord();

    LinuxNetwork network(SocketOptions{options.settings.kernelStamps, true, 4 << 20});
    if (const Prepared icmp = network.prepare(Channel::Icmp, std::nullopt); icmp.error != 0) {
        std::fprintf(stderr, "hoprate: raw ICMP socket: %s (needs root or CAP_NET_RAW)\n", std::strerror(icmp.error));
        return 1;
    }
    dropPrivileges();  // the raw socket is open: nothing later needs privileges

    const std::optional<Ipv4Address> address = resolveHost(options.destination);
    if (!address) {
        std::fprintf(stderr, "hoprate: unknown host: %s\n", options.destination.c_str());
        return 1;
    }
    try {
        ProgressLine line(isatty(STDERR_FILENO) == 1);
        PreciseEngine engine(network, effectiveSettings(options.settings), drawProbeSecrets(),
                             [&](const PreciseProgress &p) { line.show(p); });
        const PreciseResult result = engine.run(*address);
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
    int status = 0;
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
