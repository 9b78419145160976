// hoprate --precise: the accurate mode's start-up and output.
#pragma once

#include "cli/precise_options.h"
#include "model/precise_result.h"

namespace hoprate {

// Prints a run's result (table or JSON) and writes its probe log where asked; the exit
// status: 1 when either could not be written, else 2 when the destination did not
// answer (the routers before it were measured), else 0.
int deliverPreciseResult(const PreciseResult &result, const PreciseOptions &options);

// The whole accurate mode; argv[1] is "--precise". Returns the exit status.
int preciseMain(int argc, char **argv);

}  // namespace hoprate
