#include "cli/classic_main.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "cli/options.h"
#include "engine/classic_engine.h"
#include "net/linux_network.h"
#include "net/resolve.h"
#include "output/classic_console.h"
#include "output/results_file.h"
#include "support/clock.h"
#include "support/diagnostics.h"
#include "support/privileges.h"

namespace hoprate {

namespace {

constexpr size_t textCapacity = 64;  // destinations and the results path: at most 63 characters

int runClassic(int argc, char **argv)
{
    if (argc < 4)
        fatalError(classicUsageText, argv[0]);

    const std::optional<int64_t> frequency = queryCounterFrequency();
    if (!frequency) {
        printNoHighResolutionTimer();
        std::exit(1);
    }
    printFrequencyLine(*frequency);
    const int ownPid = static_cast<int>(getpid());
    // Linux sockets need no library start-up.

    const std::optional<ClassicOptions> parsed = parseClassicOptions(argc, argv);
    if (!parsed)
        std::exit(1);
    const ClassicOptions &options = *parsed;
    if (options.ttl == -1)
        fatalError("missing -t option\n");
    std::vector<std::string> sizeTexts;
    if (options.sizeTexts) {
        sizeTexts = *options.sizeTexts;
    } else {
        sizeTexts.assign(defaultSizes.begin(), defaultSizes.end());
        printDefaultSizes(sizeTexts);
    }
    if (!options.destination)
        fatalError("missing ip_addr\n");
    const std::string &destination = *options.destination;
    printOwnPid(ownPid);
    if (destination.size() >= textCapacity)
        fatalError("destination too long (at most %d characters): %s\n", static_cast<int>(textCapacity) - 1,
                   destination.c_str());

    LinuxNetwork net;
    const Aim first = aimProbes(net, resolveHost, destination, options.ttl, SweepProtocol::Icmp);
    dropPrivileges();  // the raw socket is open: nothing later needs privileges

    const ClassicRunFiles files = prepareClassicRun(first.name, sizeTexts, options.iterations);
    checkProbeTimeout(options.probeTimeout, options.probeTimeoutText);
    ResultsFile results(files.resultsPath);

    ClassicConsole console(options.verbose, ownPid);
    ClassicEngine engine(net, resolveHost, console, results,
                         SweepPlan{files.sizes, options.iterations, options.probeTimeout}, ownPid, *frequency);
    engine.run(destination, options.ttl, first);
    return 0;
}

}  // namespace

ClassicRunFiles prepareClassicRun(const std::string &destinationName, const std::vector<std::string> &sizeTexts,
                                  int iterations)
{
    const LocalName local = localHostName();
    if (local.error != 0) {
        errno = local.error;
        fatalSystemError("gethostname");
    }
    if (!nameResolves(local.name))
        fatalSystemError("gethostbyname");
    ClassicRunFiles files;
    files.resultsPath = resultsPathFor(local.name, destinationName);
    if (files.resultsPath.size() >= textCapacity)
        fatalError("results path too long (at most %d characters): %s\n", static_cast<int>(textCapacity) - 1,
                   files.resultsPath.c_str());
    const std::optional<std::vector<int>> sizes = parseProbeSizes(sizeTexts);
    if (!sizes)
        fatalError("illegal datalen!");
    if (iterations < 0)
        fatalError("illegal number of probes per size: %d\n", iterations);
    files.sizes = *sizes;
    return files;
}

void checkProbeTimeout(double seconds, const std::string &text)
{
    if (!validProbeTimeout(seconds))
        fatalError("illegal time-out: %s (a number of seconds from 0 to 2147483647)\n", text.c_str());
}

std::string resultsPathFor(const std::string &localHost, const std::string &destinationName)
{
    return "data/rtt_" + localHost.substr(0, localHost.find('.')) + "-" + destinationName + ".txt";
}

void endClassicRun(const RunFailure &failure)
{
    if (failure.errorNumber) {
        errno = *failure.errorNumber;
        fatalSystemError("%s", failure.what());
    }
    fatalError("%s", failure.what());
}

int classicMain(int argc, char **argv)
{
    try {
        return runClassic(argc, argv);
    } catch (const RunFailure &failure) {
        endClassicRun(failure);
    } catch (const std::bad_alloc &) {
        fatalError("out of memory\n");
    }
}

}  // namespace hoprate
