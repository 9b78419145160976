#include "cli/run_config.h"

int main(int argc, char **argv)
{
    return hoprateMain(argc, argv);
}
