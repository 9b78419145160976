// The accurate mode's command line: long options (and -4, -6, -n) into plain values.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/precise_settings.h"
#include "net/resolve.h"

namespace hoprate {

struct PreciseOptions {
    PreciseSettings settings;
    bool quick = false;
    bool json = false;
    bool numeric = false;          // -n: no host names looked up
    std::optional<uint64_t> seed;  // of the probe order; none given: one is drawn for the run
    std::string save;              // file for the probe log; empty: none
    std::vector<std::string> destinations;  // measured one after another, in this order
    std::string targets;                    // --targets: a file of more destinations ("-": standard input)
    FamilyWish family = FamilyWish::Any;
    std::string source;            // --source: the local address probes leave from (empty: the route's)
    std::string interface;         // --interface: the device they leave by (empty: the route's)
    bool help = false;
    bool version = false;
};

// The accurate mode's long options (without the empty entry that ends getopt_long's
// table): the front door tells them apart from the classic mode's by this list, and the
// shell completion is checked against the --help text that names them all.
std::span<const option> preciseLongOptions();

// The --help text, with the defaults of PreciseSettings.
std::string preciseUsage();

// Parses the arguments after "--precise". Throws std::invalid_argument with the complaint
// for a bad command line.
PreciseOptions parsePreciseArguments(int argc, char **argv);
// Throws std::invalid_argument unless the text is exactly an address or a host name that
// fits -4/-6 and --source.
void checkDestination(const PreciseOptions &options, const std::string &destination);

}  // namespace hoprate
