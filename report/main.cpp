#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "report_cli.h"

int main(int argc, char **argv)
{
    std::string out, err;
    int status = 1;
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        status = hoprate::reportMain(args, out, err);
    } catch (const std::bad_alloc &) {
        std::fputs("hoprate-report: out of memory\n", stderr);
        return 1;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0 && status == 0) {
        std::fputs("hoprate-report: cannot write the report to standard output\n", stderr);
        return 1;
    }
    std::fputs(err.c_str(), stderr);
    return status;
}
