// hoprate --precise: the accurate mode's start-up and output.
#pragma once

#include "cli/precise_options.h"
#include "model/precise_result.h"

namespace hoprate {

// Prints a run's result (table or JSON) and writes its probe log where asked (into
// saveDescriptor when it is open, which is then closed; else into options.save); the
// exit status: 1 when either could not be written, else 2 for a partial result (the
// destination did not answer, the routers before it measured; or a hop without an
// estimate), else 0.
int deliverPreciseResult(const PreciseResult &result, const PreciseOptions &options, int saveDescriptor = -1);

// The whole accurate mode; argv[1] is "--precise". Returns the exit status.
int preciseMain(int argc, char **argv);

}  // namespace hoprate
