#include "cli/front_door.h"

int main(int argc, char **argv)
{
    // The accurate mode takes long options only, so every classic command line keeps its
    // meaning; the front door picks the mode (and answers --help and --version itself).
    return hoprate::frontDoorMain(argc, argv);
}
