// The command-line conventions every program of the suite keeps: --help
// prints the program's usage on standard output and ends with 0, --version
// prints "<program> 1.0.6.<build>" and ends with 0 (1 when standard output
// cannot be written), both before the program
// touches a file, a socket or a window; an option the program does not know
// prints the usage on standard error and ends with 2.
//
// The help text is the one source of the program's manual page (the build
// runs --help through help2man), so its layout follows that tool: a
// "Usage: NAME ..." line, a description, then "Options:", "Environment:" or
// "Files:" blocks. Stateless; any thread may call these.
#pragma once

#include <optional>
#include <string>

namespace quask {

struct ProgramHelp {
    const char* name;  // as the texts name the program: "tessfold"
    std::string text;  // the whole --help answer, "Usage: ..." first
};

enum class StandardOption { None, Help, Version };

// --help or --version among the arguments before "--"; the first one wins.
StandardOption findStandardOption(int argc, char* const* argv);

// Prints the answer to --help or --version on standard output; returns 0.
int answerStandardOption(const ProgramHelp& help, StandardOption option);

// "<name> 1.0.6.<build>", the first line of --version.
std::string versionLine(const char* name);

// True for "-x" and "--x"; false for "-" (a name by custom) and plain words.
bool isOptionWord(const char* arg);

// "<name>: unknown option 'ARG'" and the usage on standard error; returns 2.
int unknownOption(const ProgramHelp& help, const char* arg);
// The usage alone on standard error; returns 2 (a malformed command line).
int usageError(const ProgramHelp& help);
// "<name>: WHY" and the usage on standard error, so that a script's log says
// which word was wrong; returns 2.
int usageError(const ProgramHelp& help, const std::string& why);

// For programs that read no arguments: the exit code when the command line
// ends the program before it starts (--help, --version, or any other option),
// nothing when it may go on. Plain words are left alone, as before.
std::optional<int> endsBeforeStart(const ProgramHelp& help, int argc, char* const* argv);

// A program whose standard output is its result (a report, a key, a
// listing) has failed when that output cannot be written, as to a full disk:
// flushes standard output and, when it cannot be written, prints
// "<name>: cannot write to standard output: <reason>" on standard error and
// returns 1 (or `code`, when that already says a failure); otherwise `code`.
int finishOutput(const char* name, int code);

// The standard options' lines for the "Options:" block of a help text.
extern const char* const kStandardOptionLines;

}  // namespace quask
