#include "support/entropy.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "support/diagnostics.h"

namespace hoprate {

uint64_t randomWord()
{
    uint64_t word = 0;
    auto *bytes = reinterpret_cast<unsigned char *>(&word);
    size_t got = 0;
    // At most a handful of calls: interrupted ones are repeated, anything else is fatal.
    for (int attempt = 0; got < sizeof word && attempt < 16; ++attempt) {
        const ssize_t n = getrandom(bytes + got, sizeof word - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            break;
    }
    if (got < sizeof word)
        fatalError("hoprate: no random numbers from the kernel: %s", std::strerror(errno));
    return word;
}

}  // namespace hoprate
