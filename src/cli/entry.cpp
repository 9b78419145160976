#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cli/run_config.h"
#include "estimate/link_rate_estimator.h"
#include "support/clock.h"
#include "support/diagnostics.h"

int verbose = 0;
int dFlag = 0;
double probeTimeout = 5.0;
int ownPid = 0;

const char *const defaultSizes[7] = {"254", "454", "654", "854", "1054", "1254", "1454"};

namespace {

const char usageText[] =
    "usage: %s [-v] [-d] [-i #iters] [-o timeout] [-s len1,len2...] -t ttl ipaddr\n"
    "default -s is: 254,454,654,854,1054,1254,1454\n";

void *allocateOrDie(size_t bytes)
{
    void *memory = std::malloc(bytes);
    if (memory == nullptr)
        fatalError("out of memory\n");
    return memory;
}

}  // namespace

char **splitCommaList(const char *text, int *count)
{
    int capacity = 100;
    auto **entries = static_cast<char **>(allocateOrDie(sizeof(char *) * static_cast<size_t>(capacity)));
    int used = 0;
    char *copy = strdup(text);
    if (copy == nullptr)
        fatalError("out of memory\n");
    char *save = nullptr;
    for (char *entry = strtok_r(copy, ",", &save); entry != nullptr; entry = strtok_r(nullptr, ",", &save)) {
        if (used == capacity) {
            capacity *= 2;
            auto **grown = static_cast<char **>(std::realloc(entries, sizeof(char *) * static_cast<size_t>(capacity)));
            if (grown == nullptr)
                fatalError("out of memory\n");
            entries = grown;
        }
        entries[used++] = entry;
    }
    *count = used;
    return entries;
}

void startUp()
{
    if (checkClock() == -1)
        std::exit(1);
    ownPid = static_cast<int>(getpid());
    // Linux sockets need no library start-up.
}

int hoprateMain(int argc, char **argv)
{
    int iterations = 25;
    int ttl = -1;
    char **sizeTexts = nullptr;
    int sizeCount = 0;

    if (argc < 4)
        fatalError(usageText, argv[0]);

    startUp();

    int option;
    while ((option = getopt(argc, argv, "vdi:o:s:t:")) != -1) {
        switch (option) {
        case 'v':
            verbose = 1;
            break;
        case 'd':
            dFlag = 1;
            break;
        case 'i':
            iterations = std::atoi(optarg);
            break;
        case 'o':
            probeTimeout = std::atof(optarg);
            break;
        case 's':
            sizeTexts = splitCommaList(optarg, &sizeCount);
            break;
        case 't':
            ttl = std::atoi(optarg);
            break;
        case '?':
            std::exit(1);
        default:
            break;
        }
    }

    if (ttl == -1)
        fatalError("missing -t option\n");

    if (sizeTexts == nullptr) {
        sizeTexts = const_cast<char **>(defaultSizes);
        sizeCount = 7;
        std::printf("using the default set:");
        for (int i = 0; i < sizeCount; ++i)
            std::printf(" %s", sizeTexts[i]);
        std::printf("\n");
    }

    if (optind >= argc || argv[optind][0] == '\0')
        fatalError("missing ip_addr\n");
    const char *destination = argv[optind];

    std::printf("my own pid is %d\n", ownPid);

    LinkRateEstimator estimator(destination, ttl, iterations, sizeCount, sizeTexts);
    estimator.run();
    return 0;
}
