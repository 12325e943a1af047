// patchpub: publishes the next content revision into a patch server tree,
// and keeps a signed tree's trust current.
//   patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]... [--sign KEYFILE] [--delta] ...
//   patchpub keygen KEYFILE
//   patchpub refresh | rotate | mirrors | verify SERVER_DIR ...
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "patcher/protocol/trust_files.h"
#include "shared/command_line.h"
#include "shared/out_of_memory.h"
#include "shared/posix_io.h"
#include "shared/progress.h"
#include "tools/patchpub/maintain.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/signing.h"
#include "tools/patchpub/verify_tree.h"

namespace {

const quask::ProgramHelp kHelp{"patchpub",
    "Usage: patchpub SERVER_DIR CONTENT_DIR [--message TEXT] [--compress PATTERN]... [--delta]\n"
    "                [--sign KEYFILE [--valid DAYS] [--unchecked-launcher]]\n"
    "   or: patchpub keygen KEYFILE\n"
    "   or: patchpub refresh SERVER_DIR --sign KEYFILE [--valid DAYS] [--resign]\n"
    "   or: patchpub rotate SERVER_DIR --root KEYFILE [--new-root KEYFILE] [--revoke KEY]...\n"
    "                --sign KEYFILE [--key-valid DAYS] [--valid DAYS]\n"
    "   or: patchpub mirrors SERVER_DIR --sign KEYFILE [--valid DAYS] [URL]...\n"
    "   or: patchpub verify SERVER_DIR\n"
    "Publishes CONTENT_DIR, a whole game directory as players should have it\n"
    "(programs included), as the next revision of the patch server tree in\n"
    "SERVER_DIR (created when missing): the changed files below data/, the\n"
    "deletes, the revision's metadata and checksums, a fresh full checksum list\n"
    "and lastrev.txt, in a new tree beside the live one that SERVER_DIR, a\n"
    "symbolic link, then points to in one step, so launchers see the old\n"
    "revision whole or the new one whole. Every tree is checked as a launcher\n"
    "would take it before it goes live. Nothing changed publishes nothing.\n"
    "Files a launcher leaves in a game directory are not published. On a\n"
    "terminal a progress line shows the files read and written.\n"
    "keygen writes a new Ed25519 key to KEYFILE (mode 0600, never over an\n"
    "existing file) and prints its public key, for QUILLON_PUBLIC_KEY.\n"
    "refresh signs the announcement of the latest revision again (run it from\n"
    "cron well within --valid); rotate writes the next root of trust, signed by\n"
    "the current root key, and certifies the signing key with it; mirrors\n"
    "names the mirrors launchers may fetch from; verify checks the live tree and\n"
    "says how to mend what a launcher would refuse.\n"
    "\n"
    "Exit status is 0 when a revision was published or nothing changed (or a\n"
    "key was written, a tree refreshed or found sound), 1 when it could not be,\n"
    "and 2 for a malformed command line.\n"
    "\n"
    "Options:\n"
    "      --message TEXT     the revision's message, shown in the launcher\n"
    "      --compress PATTERN  publish the files whose path below the game\n"
    "                         directory matches the glob PATTERN (e.g. '*.map')\n"
    "                         as compressed patch files\n"
    "      --sign KEYFILE     sign with the private key in KEYFILE: the root key\n"
    "                         (the first one signs a tree without roots), or a\n"
    "                         signing key the newest root certifies\n"
    "      --valid DAYS       with --sign: the announcement expires after DAYS\n"
    "                         days (default 7); launchers then report the\n"
    "                         server out of date\n"
    "      --unchecked-launcher  publish a quillon in the content built without\n"
    "                         a key (tests whose launchers take the key from\n"
    "                         QUILLON_PUBLIC_KEY); one whose key no root of the\n"
    "                         tree names is refused even so\n"
    "      --delta            also publish binary patches from the previous\n"
    "                         revision's version of each changed file that is\n"
    "                         not compressed, where the patch is under half the\n"
    "                         file; launchers that know them fetch the patch\n"
    "                         instead of the file, others never ask for it\n"
    "      --resign           refresh: make every signed list afresh\n"
    "      --root KEYFILE     rotate: the newest root's key (offline)\n"
    "      --new-root KEYFILE  rotate: the next root's key (default: the same)\n"
    "      --revoke KEY       rotate: a signing key (public text or key file)\n"
    "                         that no certificate may name any more\n"
    "      --key-valid DAYS   rotate: the signing key's certificate expires\n"
    "                         after DAYS days (default 365)\n" +
        std::string(quask::kStandardOptionLines)};

std::string progressText(const patchpub::PublishProgress& p) {
    if (p.phase == patchpub::PublishProgress::Reading) {
        return "patchpub: reading " + std::to_string(p.files) + " files, " + quask::byteSizeText(p.bytes);
    }
    return "patchpub: publishing " + std::to_string(p.files) + "/" + std::to_string(p.total) + " files";
}

void printWarnings(const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings) std::fprintf(stderr, "patchpub: warning: %s\n", warning.c_str());
}

int failed(const std::string& error) {
    std::fprintf(stderr, "patchpub: %s\n", error.c_str());
    return 1;
}

// A count of days; its range is the publisher's to judge, which says it.
bool days(const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || n < INT_MIN || n > INT_MAX) return false;
    *out = static_cast<int>(n);
    return true;
}

int notDays(const char* option, const char* value) {
    std::fprintf(stderr, "patchpub: %s takes a whole number of days, not '%s'\n", option, value);
    return 2;
}

int keygen(const char* path) {
    std::string publicText, error;
    if (!patchpub::generateKey(path, &publicText, &error)) return failed(error);
    std::printf("%s\n", publicText.c_str());
    // A key whose public half nobody saw is of no use, and it would stand in
    // the way of the next keygen: it goes again.
    const int code = quask::finishOutput("patchpub", 0);
    if (code != 0) ::unlink(path);
    return code;
}

int verify(const char* serverDir) {
    // A mistyped path is no tree changed by hand.
    if (struct stat st; ::stat(serverDir, &st) != 0) return failed(std::string(serverDir) + ": " + std::strerror(errno));
    patchpub::VerifyReport report;
    const bool sound = patchpub::verifyTree(serverDir, patchpub::VerifyOptions{}, &report);
    for (const std::string& problem : report.problems) std::printf("problem: %s\n", problem.c_str());
    for (const std::string& repair : report.repairs) std::printf("to mend: %s\n", repair.c_str());
    if (!sound) return 1;
    std::printf("Revision %u is sound%s\n", report.revision,
                report.signedTree ? (", signed; its announcement expires on " +
                                     quillon::utcTimeForPlayer(report.expires)).c_str()
                                  : ", unsigned");
    return 0;
}

// refresh, rotate, mirrors: SERVER_DIR and their options.
int maintain(const char* command, int argc, char** argv) {
    patchpub::MaintainOptions o;
    patchpub::Maintenance what = patchpub::Maintenance::kRefresh;
    if (std::strcmp(command, "rotate") == 0) what = patchpub::Maintenance::kRotate;
    if (std::strcmp(command, "mirrors") == 0) what = patchpub::Maintenance::kMirrors;
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        const char* a = argv[i];
        if (std::strcmp(a, "--sign") == 0 && hasValue) o.signKey = argv[++i];
        else if (std::strcmp(a, "--valid") == 0 && hasValue) {
            if (!days(argv[++i], &o.validDays)) return notDays(a, argv[i]);
        }
        else if (std::strcmp(a, "--resign") == 0 && what == patchpub::Maintenance::kRefresh) o.resign = true;
        else if (std::strcmp(a, "--root") == 0 && hasValue && what == patchpub::Maintenance::kRotate) o.rootKey = argv[++i];
        else if (std::strcmp(a, "--new-root") == 0 && hasValue && what == patchpub::Maintenance::kRotate)
            o.newRootKey = argv[++i];
        else if (std::strcmp(a, "--revoke") == 0 && hasValue && what == patchpub::Maintenance::kRotate)
            o.revoke.push_back(argv[++i]);
        else if (std::strcmp(a, "--key-valid") == 0 && hasValue && what == patchpub::Maintenance::kRotate) {
            if (!days(argv[++i], &o.keyValidDays)) return notDays(a, argv[i]);
        }
        else if (quask::isOptionWord(a)) return quask::unknownOption(kHelp, a);
        else positional.push_back(a);
    }
    const bool mirrors = what == patchpub::Maintenance::kMirrors;
    const std::string name = command;
    if (positional.empty() || (!mirrors && positional.size() != 1))
        return quask::usageError(kHelp, name + (mirrors ? " takes SERVER_DIR and the mirrors' URLs"
                                                        : " takes one SERVER_DIR"));
    if (o.signKey.empty()) return quask::usageError(kHelp, name + " needs --sign KEYFILE");
    if (what == patchpub::Maintenance::kRotate && o.rootKey.empty())
        return quask::usageError(kHelp, "rotate needs --root KEYFILE");
    o.serverDir = positional[0];
    o.mirrors.assign(positional.begin() + 1, positional.end());
    patchpub::MaintainResult result;
    std::string error;
    const bool ok = patchpub::maintainServer(what, o, &result, &error);
    printWarnings(result.warnings);
    if (!ok) return failed(error);
    if (what == patchpub::Maintenance::kRotate) std::printf("Root of trust %u written\n", result.rootVersion);
    if (mirrors) std::printf("%zu mirrors named\n", o.mirrors.size());
    std::printf("Revision %u announced until %s\n", result.revision, quillon::utcTimeForPlayer(result.expires).c_str());
    return 0;
}

int publish(int argc, char** argv) {
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
        } else if (std::strcmp(argv[i], "--valid") == 0 && hasValue) {
            if (!days(argv[i + 1], &options.validDays)) return notDays(argv[i], argv[i + 1]);
            ++i;
        } else if (std::strcmp(argv[i], "--unchecked-launcher") == 0) {
            options.uncheckedLauncher = true;
        } else if (std::strcmp(argv[i], "--delta") == 0) {
            options.delta = true;
        } else if (std::strcmp(argv[i], "--message") == 0 || std::strcmp(argv[i], "--compress") == 0 ||
                   std::strcmp(argv[i], "--sign") == 0 || std::strcmp(argv[i], "--valid") == 0) {
            return quask::usageError(kHelp, std::string(argv[i]) + " takes a value");
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            return quask::unknownOption(kHelp, argv[i]);
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2) return quask::usageError(kHelp, "publishing takes SERVER_DIR and CONTENT_DIR");
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
    printWarnings(result.warnings);
    if (!ok) return failed(error);
    if (!result.note.empty()) std::printf("%s\n", result.note.c_str());
    if (!result.published) {
        // A message travels with a revision: an author who gave one must
        // learn that no player will read it.
        std::printf("Nothing changed: the server stays at revision %u%s\n", result.revision,
                    options.message.empty() ? "" : "; the message was not published, as no file changed");
        return 0;
    }
    std::printf("Published revision %u: %u added, %u modified, %u deleted, %u new directories%s\n",
                result.revision, result.added, result.modified, result.deleted, result.directories,
                options.signKey.empty() ? "" : ", signed");
    if (result.deltas > 0) std::printf("Published %u delta patches\n", result.deltas);
    if (result.signedEarlier > 0) std::printf("Signed %u earlier revisions as well\n", result.signedEarlier);
    if (!options.signKey.empty())
        std::printf("Announced until %s: run patchpub refresh before then\n",
                    quillon::utcTimeForPlayer(result.expires).c_str());
    // The run fails when its report is lost, but the revision is live: a
    // publisher must not publish it again as if it were not.
    const int code = quask::finishOutput("patchpub", 0);
    if (code != 0) std::fprintf(stderr, "patchpub: revision %u is published and served all the same\n", result.revision);
    return code;
}

int run(int argc, char** argv) {
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(kHelp, standard);
    const char* command = argc >= 2 ? argv[1] : "";
    if (std::strcmp(command, "keygen") == 0)
        return argc == 3 ? keygen(argv[2]) : quask::usageError(kHelp, "keygen takes one KEYFILE");
    if (std::strcmp(command, "verify") == 0)
        return argc == 3 ? verify(argv[2]) : quask::usageError(kHelp, "verify takes one SERVER_DIR");
    for (const char* maintenance : {"refresh", "rotate", "mirrors"})
        if (std::strcmp(command, maintenance) == 0) return maintain(command, argc, argv);
    return publish(argc, argv);
}

}  // namespace

// What patchpub prints is the publisher's record (the revision published, a
// new key's public half): one that cannot be written fails the run.
int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    quask::endOnUncaughtOutOfMemory("patchpub");
    return quask::finishOutput("patchpub", run(argc, argv));
}
