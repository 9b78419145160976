#include <cstring>

#include "cli/classic_main.h"
#include "cli/precise_main.h"

int main(int argc, char **argv)
{
    // The accurate mode takes long options only, so every classic command line keeps
    // its meaning.
    if (argc >= 2 && std::strcmp(argv[1], "--precise") == 0)
        return hoprate::preciseMain(argc, argv);
    return hoprate::classicMain(argc, argv);
}
