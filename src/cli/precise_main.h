// hoprate --precise: the accurate mode's start-up and output.
#pragma once

#include "cli/precise_options.h"
#include "model/precise_result.h"

#include <string>

namespace hoprate {

// Prints a run's result (table or JSON) and writes its probe log where asked (appended to
// how.saveDescriptor when it is open; else into options.save); the
// exit status: 1 when either could not be written, else 2 for a partial result (the
// destination did not answer, the routers before it measured; or a hop without an
// estimate), else 0.
struct Delivery {
    int saveDescriptor = -1;       // open: the probe log is appended to it (the caller closes it)
    bool jsonLines = false;        // several destinations: each JSON document on one line
    bool blankLineBefore = false;  // a table after another: a blank line between them
};
int deliverPreciseResult(const PreciseResult &result, const std::string &destination, const PreciseOptions &options,
                         const Delivery &how = {});

// The whole accurate mode; argv[1] is "--precise". Returns the exit status.
int preciseMain(int argc, char **argv);

}  // namespace hoprate
