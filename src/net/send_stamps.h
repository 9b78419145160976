// Which kernel send stamp belongs to which packet. With SOF_TIMESTAMPING_OPT_ID the
// kernel numbers a socket's sends from 0 and gives every stamp the number of its packet;
// a stamp that comes after its packet's send call has returned belongs to an earlier
// packet and must never be taken for the one just sent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace hoprate {

struct KeyedStamp {
    uint32_t key = 0;   // the send's number
    int64_t time = 0;   // nanoseconds
};

// Of the stamps drained right after a send that was expected to get number `expected`,
// the one of that send: the highest number at or above `expected` (above it when a
// failed send used a number too), none when all are older (32-bit numbers, wrapping).
std::optional<KeyedStamp> stampOfSend(std::span<const KeyedStamp> drained, uint32_t expected);

}  // namespace hoprate
