#include "cli/options.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "wire/probe.h"

namespace hoprate {

const char classicUsageText[] =
    "usage: %s [-v] [-d] [-i #iters] [-o timeout] [-s len1,len2...] -t ttl ipaddr\n"
    "default -s is: 254,454,654,854,1054,1254,1454\n";

std::optional<ClassicOptions> parseClassicOptions(int argc, char **argv)
{
    ClassicOptions options;
    optind = 0;  // a full start of getopt's scan, also when called more than once
    int option;
    while ((option = getopt(argc, argv, "vdi:o:s:t:")) != -1) {
        switch (option) {
        case 'v':
            options.verbose = true;
            break;
        case 'd':
            options.dFlag = true;
            break;
        case 'i':
            options.iterations = std::atoi(optarg);
            break;
        case 'o':
            options.probeTimeout = std::atof(optarg);
            options.probeTimeoutText = optarg;
            break;
        case 's':
            options.sizeTexts = splitCommaList(optarg);
            break;
        case 't':
            options.ttl = std::atoi(optarg);
            break;
        case '?':
            return std::nullopt;
        default:
            break;
        }
    }
    if (optind < argc && argv[optind][0] != '\0')
        options.destination = argv[optind];
    return options;
}

bool validProbeTimeout(double seconds)
{
    return std::isfinite(seconds) && seconds >= 0.0 && seconds <= maxProbeTimeout;
}

std::vector<std::string> splitCommaList(const std::string &text)
{
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < text.size()) {
        const size_t comma = text.find(',', start);
        const size_t end = comma == std::string::npos ? text.size() : comma;
        if (end > start)
            entries.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

std::optional<std::vector<int>> parseProbeSizes(const std::vector<std::string> &texts)
{
    std::vector<int> sizes;
    sizes.reserve(texts.size());
    for (const std::string &text : texts) {
        int size = 0;
        // Sizes that cannot be sent from the probe buffer as an echo message are refused.
        if (std::sscanf(text.c_str(), "%d", &size) != 1 || size < 0 || size > maxProbeSize)
            return std::nullopt;
        sizes.push_back(size);
    }
    return sizes;
}

}  // namespace hoprate
