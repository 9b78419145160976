// hoprate --precise: the accurate mode's command line, start-up and output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/precise_engine.h"

namespace hoprate {

struct PreciseOptions {
    PreciseSettings settings;
    bool quick = false;
    bool json = false;
    std::optional<uint64_t> seed;  // of the probe order; none given: one is drawn for the run
    std::string save;         // file for the probe log; empty: none
    std::string destination;
    bool help = false;
};

extern const char preciseUsageText[];

// Parses the arguments after "--precise" (long options only). Throws std::invalid_argument
// with the complaint for a bad command line.
PreciseOptions parsePreciseArguments(int argc, char **argv);

// Prints a run's result (table or JSON) and writes its probe log where asked; the exit
// status: 1 when either could not be written.
int deliverPreciseResult(const PreciseResult &result, const PreciseOptions &options);

// The whole accurate mode; argv[1] is "--precise". Returns the exit status.
int preciseMain(int argc, char **argv);

}  // namespace hoprate
