#include "shared/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shared/version.h"

namespace quask {

const char* const kStandardOptionLines =
    "      --help       show this help and exit\n"
    "      --version    show the version and exit\n";

StandardOption findStandardOption(int argc, char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "--help") == 0) return StandardOption::Help;
        if (std::strcmp(argv[i], "--version") == 0) return StandardOption::Version;
    }
    return StandardOption::None;
}

std::string versionLine(const char* name) { return std::string(name) + " " + versionText(); }

int answerStandardOption(const ProgramHelp& help, StandardOption option) {
    if (option == StandardOption::Help) {
        std::fputs(help.text.c_str(), stdout);
    } else {
        std::printf("%s\n", versionLine(help.name).c_str());
    }
    return finishOutput(help.name, 0);
}

int finishOutput(const char* name, int code) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return code;
    const int why = errno != 0 ? errno : EIO;
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", name, std::strerror(why));
    std::clearerr(stdout);  // said once, though a caller's caller may ask again
    return code != 0 ? code : 1;
}

bool isOptionWord(const char* arg) { return arg[0] == '-' && arg[1] != '\0'; }

int usageError(const ProgramHelp& help) {
    std::fputs(help.text.c_str(), stderr);
    return 2;
}

int usageError(const ProgramHelp& help, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", help.name, why.c_str());
    return usageError(help);
}

int unknownOption(const ProgramHelp& help, const char* arg) {
    std::fprintf(stderr, "%s: unknown option '%s'\n", help.name, arg);
    return usageError(help);
}

std::optional<int> endsBeforeStart(const ProgramHelp& help, int argc, char* const* argv) {
    const StandardOption standard = findStandardOption(argc, argv);
    if (standard != StandardOption::None) return answerStandardOption(help, standard);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (isOptionWord(argv[i])) return unknownOption(help, argv[i]);
    }
    return std::nullopt;
}

}  // namespace quask
