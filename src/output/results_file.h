// The results file: one block per sweep, the first block of a run replacing any earlier
// file, the later ones appended.
#pragma once

#include <string>
#include <vector>

#include "model/run_failure.h"
#include "model/sweep_record.h"

namespace hoprate {

// The values of a row, in milliseconds with "%lf", tab-separated, with a line end after
// the last; nothing at all for no values.
std::string valueRow(const std::vector<double> &seconds);
// The text of one block.
std::string formatBlock(const SweepRecord &record);

class ResultsFile {
public:
    explicit ResultsFile(std::string path);
    // Writes one block; the first call of a run creates or empties the file. Throws
    // RunFailure "fopen: PATH" when the file cannot be opened, a symbolic link included,
    // and "write: PATH" when the block cannot be written whole, with the errno.
    void append(const SweepRecord &record);
    const std::string &path() const { return filePath; }

private:
    std::string filePath;
    bool first = true;
};

}  // namespace hoprate
