// patchpub: publishes the next content revision into a patch server tree.
//   patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]...
#include <cstdio>
#include <cstring>

#include "shared/command_line.h"
#include "shared/progress.h"
#include "tools/patchpub/publisher.h"

namespace {

const quask::ProgramHelp kHelp{"patchpub",
    "Usage: patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]...\n"
    "Publishes CONTENT_DIR, a whole game directory as players should have it\n"
    "(programs included), as the next revision of the patch server tree in\n"
    "SERVER_DIR (created when missing): the changed files below data/, the\n"
    "deletes, the revision's metadata and checksums, a fresh full checksum list,\n"
    "and lastrev.txt last, so launchers see the revision only once it is\n"
    "complete. Nothing changed publishes nothing. On a terminal a progress line\n"
    "shows the files read and written.\n"
    "\n"
    "Exit status is 0 when a revision was published or nothing changed, 1 when\n"
    "it could not be published, and 2 for a malformed command line.\n"
    "\n"
    "Options:\n"
    "      --message TEXT     the revision's message, shown in the launcher\n"
    "      --compress PATTERN  publish the files whose path below the game\n"
    "                         directory matches the glob PATTERN (e.g. '*.map')\n"
    "                         as compressed patch files\n" +
        std::string(quask::kStandardOptionLines)};

std::string progressText(const patchpub::PublishProgress& p) {
    if (p.phase == patchpub::PublishProgress::Reading) {
        return "patchpub: reading " + std::to_string(p.files) + " files, " + quask::byteSizeText(p.bytes);
    }
    return "patchpub: publishing " + std::to_string(p.files) + "/" + std::to_string(p.total) + " files";
}

}  // namespace

int main(int argc, char** argv) {
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(kHelp, standard);
    patchpub::PublishOptions options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--message") == 0 && hasValue) {
            options.message = argv[++i];
        } else if (std::strcmp(argv[i], "--compress") == 0 && hasValue) {
            options.compress.push_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--message") == 0 || std::strcmp(argv[i], "--compress") == 0) {
            return quask::usageError(kHelp);
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            return quask::unknownOption(kHelp, argv[i]);
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2) return quask::usageError(kHelp);
    options.serverDir = positional[0];
    options.contentDir = positional[1];

    quask::ProgressLine progress;
    if (progress.visible()) {
        options.progress = [&progress](const patchpub::PublishProgress& p) { progress.show(progressText(p)); };
    }
    patchpub::PublishResult result;
    std::string error;
    const bool ok = patchpub::publishRevision(options, &result, &error);
    progress.erase();
    if (!ok) {
        std::fprintf(stderr, "patchpub: %s\n", error.c_str());
        return 1;
    }
    if (!result.published) {
        std::printf("Nothing changed: the server stays at revision %u\n", result.revision);
        return 0;
    }
    std::printf("Published revision %u: %u added, %u modified, %u deleted, %u new directories\n",
                result.revision, result.added, result.modified, result.deleted, result.directories);
    return 0;
}
