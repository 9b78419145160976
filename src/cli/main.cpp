#include "cli/classic_main.h"

int main(int argc, char **argv)
{
    return classicMain(argc, argv);
}
