#include "cli/front_door.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/classic_main.h"
#include "cli/options.h"
#include "cli/precise_main.h"
#include "cli/precise_options.h"
#include "output/printable.h"
#include "support/version.h"

namespace hoprate {

namespace {

// A word of short options ("-v", "-vt", "-t3"): true when the next word is the argument
// of its last option, as getopt reads "vdi:o:s:t:".
bool shortOptionWantsNext(const char *word)
{
    for (const char *letter = word + 1; *letter != '\0'; ++letter) {
        if (std::strchr("iost", *letter) != nullptr)
            return letter[1] == '\0';  // "-t3": the argument is in the word itself
    }
    return false;
}

// The accurate-mode option a word ("--NAME" or "--NAME=VALUE") names, or nullptr.
const option *accurateOption(const char *word)
{
    const char *name = word + 2;
    const char *equals = std::strchr(name, '=');
    const size_t length = equals == nullptr ? std::strlen(name) : static_cast<size_t>(equals - name);
    for (const option &o : preciseLongOptions()) {
        if (std::strlen(o.name) == length && std::strncmp(o.name, name, length) == 0 &&
            (equals == nullptr || o.has_arg == required_argument))
            return &o;
    }
    return nullptr;
}

bool writeAll(const std::string &text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return true;
    std::fprintf(stderr, "hoprate: standard output: %s\n", std::strerror(errno));
    return false;
}

}  // namespace

DoorChoice chooseDoor(int argc, char *const *argv, bool posixlyCorrect)
{
    int precise = 0;
    Door answer = Door::Classic;  // Help or Version, whichever came first
    const option *accurate = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *word = argv[i];
        if (std::strcmp(word, "--") == 0)
            break;
        if (word[0] != '-' || word[1] == '\0') {  // an operand
            if (posixlyCorrect)
                break;
            continue;
        }
        if (word[1] != '-') {
            if (shortOptionWantsNext(word))
                ++i;
            continue;
        }
        if (std::strcmp(word, "--precise") == 0) {
            if (precise == 0)
                precise = i;
        } else if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0) {
            if (answer == Door::Classic)
                answer = word[2] == 'h' ? Door::Help : Door::Version;
        } else if (const option *o = accurateOption(word)) {
            if (accurate == nullptr)
                accurate = o;
            if (o->has_arg == required_argument && std::strchr(word, '=') == nullptr)
                ++i;
        }
    }
    if (precise != 0)
        return {Door::Precise, precise, {}};
    if (answer != Door::Classic)
        return {answer, 0, {}};
    if (accurate != nullptr)
        return {Door::Hint, 0, std::string("--") + accurate->name};
    return {};
}

std::string versionLine()
{
    return std::string("hoprate ") + hoprateVersion + "\n";
}

std::string frontDoorHelp(const char *programName)
{
    return printed(classicUsageText, programName) + "\n" + preciseUsage();
}

std::string accurateModeHint(const std::string &optionName)
{
    return "hoprate: " + optionName + " belongs to the accurate mode: use hoprate --precise " + optionName + " ...\n";
}

int frontDoorMain(int argc, char **argv)
{
    const DoorChoice choice = chooseDoor(argc, argv, std::getenv("POSIXLY_CORRECT") != nullptr);
    switch (choice.door) {
    case Door::Classic:
        return classicMain(argc, argv);
    case Door::Precise: {
        // As if --precise came first: the accurate mode reads its options from argv[2] on.
        std::vector<char *> words{argv[0], argv[choice.preciseAt]};
        for (int i = 1; i < argc; ++i) {
            if (i != choice.preciseAt)
                words.push_back(argv[i]);
        }
        words.push_back(nullptr);
        return preciseMain(argc, words.data());
    }
    case Door::Help:
        return writeAll(frontDoorHelp(argv[0])) ? 0 : 1;
    case Door::Version:
        return writeAll(versionLine()) ? 0 : 1;
    case Door::Hint:
        std::fputs(accurateModeHint(choice.optionName).c_str(), stderr);
        return 1;
    }
    return 1;
}

}  // namespace hoprate
