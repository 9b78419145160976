// The front door: which mode a command line runs, or whether the program answers it
// itself (--help, --version, an accurate-mode option without --precise).
#pragma once

#include <string>

namespace hoprate {

enum class Door {
    Classic,  // everything else, with the classic mode's own texts and statuses
    Precise,  // --precise somewhere on the command line
    Help,     // --help without --precise: both modes' usage
    Version,  // --version without --precise
    Hint,     // an accurate-mode long option without --precise
};

struct DoorChoice {
    Door door = Door::Classic;
    int preciseAt = 0;       // Precise: the index in argv of the word "--precise"
    std::string optionName;  // Hint: the option as the accurate mode names it ("--quick")
};

// Reads the command line the way both modes would: a word after "--", or the argument of
// an option that takes one (-i -o -s -t, or a long option of the accurate mode that
// takes one), is no option, and with posixlyCorrect nothing after the first operand is
// (the classic mode's getopt stops there). Of the options it finds, --precise decides
// first, then the first of --help and --version, then the first long option of the
// accurate mode (exactly its name, or NAME=VALUE for one that takes an argument).
DoorChoice chooseDoor(int argc, char *const *argv, bool posixlyCorrect);

// "hoprate 0.9.0\n": the release, from the project's version in CMakeLists.txt.
std::string versionLine();

// --help: the classic usage text as the classic mode prints it (with programName, and
// the blank line its complaint adds), then the accurate mode's.
std::string frontDoorHelp(const char *programName);

// The one line for an accurate-mode option given without --precise.
std::string accurateModeHint(const std::string &optionName);

// The whole program: chooses the door and goes through it; returns the exit status.
int frontDoorMain(int argc, char **argv);

}  // namespace hoprate
