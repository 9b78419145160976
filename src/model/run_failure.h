// A failure that ends a run of the classic mode, as a value: the message the run prints
// for it and, for a failed system call, the error number printed behind it. The engine
// and the writers throw it; the command line prints it and ends the run.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace hoprate {

class RunFailure : public std::runtime_error {
public:
    explicit RunFailure(const std::string &message, std::optional<int> error = std::nullopt)
        : std::runtime_error(message), errorNumber(error)
    {
    }
    std::optional<int> errorNumber;
};

}  // namespace hoprate
