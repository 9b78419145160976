// Writes the accurate mode's JSON document for each hand-built run of precise_samples.h
// into a directory, for the schema check: json_samples DIRECTORY
#include <cstdio>
#include <string>

#include "output/precise_report.h"
#include "precise_samples.h"

using namespace hoprate;

namespace {

bool writeSample(const std::string &path, const std::string &text)
{
    FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: json_samples DIRECTORY\n");
        return 2;
    }
    const std::string directory = argv[1];
    PreciseResult programStamps = sixHopSample();
    programStamps.kernelStamps = false;
    programStamps.hops.resize(1);
    PreciseResult named = sixHopSample();
    named.hops[0].name = "r1.example";  // the other hops have none
    const bool ok = writeSample(directory + "/six_hops.json", formatPreciseJson(named, "example.net")) &&
                    writeSample(directory + "/non_finite.json", formatPreciseJson(nonFiniteSample(), "x")) &&
                    writeSample(directory + "/one_hop.json", formatPreciseJson(programStamps, "192.0.2.80"));
    if (!ok) {
        std::perror(directory.c_str());
        return 1;
    }
    return 0;
}
