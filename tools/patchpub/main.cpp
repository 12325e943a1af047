// patchpub: publishes the next content revision into a patch server tree.
//   patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]... [--sign KEYFILE] [--delta]
//   patchpub keygen KEYFILE
#include <cstdio>
#include <cstring>

#include "shared/command_line.h"
#include "shared/progress.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/signing.h"

namespace {

const quask::ProgramHelp kHelp{"patchpub",
    "Usage: patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]... [--sign KEYFILE]\n"
    "                [--delta]\n"
    "   or: patchpub keygen KEYFILE\n"
    "Publishes CONTENT_DIR, a whole game directory as players should have it\n"
    "(programs included), as the next revision of the patch server tree in\n"
    "SERVER_DIR (created when missing): the changed files below data/, the\n"
    "deletes, the revision's metadata and checksums, a fresh full checksum list\n"
    "and lastrev.txt, in a new tree beside the live one that SERVER_DIR, a\n"
    "symbolic link, then points to in one step, so launchers see the old\n"
    "revision whole or the new one whole. Nothing changed publishes nothing.\n"
    "Files a launcher leaves in a game directory are not published. On a\n"
    "terminal a progress line shows the files read and written.\n"
    "keygen writes a new Ed25519 signing key to KEYFILE (mode 0600, never over\n"
    "an existing file) and prints its public key, for QUILLON_PUBLIC_KEY.\n"
    "\n"
    "Exit status is 0 when a revision was published or nothing changed (or a\n"
    "key was written), 1 when it could not be, and 2 for a malformed command line.\n"
    "\n"
    "Options:\n"
    "      --message TEXT     the revision's message, shown in the launcher\n"
    "      --compress PATTERN  publish the files whose path below the game\n"
    "                         directory matches the glob PATTERN (e.g. '*.map')\n"
    "                         as compressed patch files\n"
    "      --sign KEYFILE     sign the revision (and earlier ones not yet signed\n"
    "                         by this key) with the private key in KEYFILE\n"
    "      --delta            also publish binary patches from the previous\n"
    "                         revision's version of each changed file that is\n"
    "                         not compressed, where the patch is under half the\n"
    "                         file; launchers that know them fetch the patch\n"
    "                         instead of the file, others never ask for it\n" +
        std::string(quask::kStandardOptionLines)};

std::string progressText(const patchpub::PublishProgress& p) {
    if (p.phase == patchpub::PublishProgress::Reading) {
        return "patchpub: reading " + std::to_string(p.files) + " files, " + quask::byteSizeText(p.bytes);
    }
    return "patchpub: publishing " + std::to_string(p.files) + "/" + std::to_string(p.total) + " files";
}

int keygen(const char* path) {
    std::string publicText, error;
    if (!patchpub::generateKey(path, &publicText, &error)) {
        std::fprintf(stderr, "patchpub: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", publicText.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(kHelp, standard);
    if (argc >= 2 && std::strcmp(argv[1], "keygen") == 0)
        return argc == 3 ? keygen(argv[2]) : quask::usageError(kHelp);
    patchpub::PublishOptions options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--message") == 0 && hasValue) {
            options.message = argv[++i];
        } else if (std::strcmp(argv[i], "--compress") == 0 && hasValue) {
            options.compress.push_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--sign") == 0 && hasValue) {
            options.signKey = argv[++i];
        } else if (std::strcmp(argv[i], "--delta") == 0) {
            options.delta = true;
        } else if (std::strcmp(argv[i], "--message") == 0 || std::strcmp(argv[i], "--compress") == 0 ||
                   std::strcmp(argv[i], "--sign") == 0) {
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
    for (const std::string& warning : result.warnings) std::fprintf(stderr, "patchpub: warning: %s\n", warning.c_str());
    if (!ok) {
        std::fprintf(stderr, "patchpub: %s\n", error.c_str());
        return 1;
    }
    if (!result.note.empty()) std::printf("%s\n", result.note.c_str());
    if (!result.published) {
        std::printf("Nothing changed: the server stays at revision %u\n", result.revision);
        return 0;
    }
    std::printf("Published revision %u: %u added, %u modified, %u deleted, %u new directories%s\n",
                result.revision, result.added, result.modified, result.deleted, result.directories,
                options.signKey.empty() ? "" : ", signed");
    if (result.deltas > 0) std::printf("Published %u delta patches\n", result.deltas);
    if (result.signedEarlier > 0) std::printf("Signed %u earlier revisions as well\n", result.signedEarlier);
    return 0;
}
