// Unguessable numbers from the kernel (getrandom): the secrets of a run's probes and the
// seed of a run that was given none.
#pragma once

#include <cstdint>

namespace hoprate {

// 64 random bits. Ends the process with a message if the kernel cannot give them.
uint64_t randomWord();

}  // namespace hoprate
