#include "patcher/launcher_app.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "patcher/disk/game_tree.h"
#include "patcher/engine/full_check.h"
#include "patcher/engine/patch_run.h"
#include "patcher/front/console_ui.h"
#include "patcher/front/game_start.h"
#include "patcher/front/gtk/gtk_thread.h"
#include "patcher/front/gtk/gtk_ui.h"
#include "patcher/front/gtk/windowed_launcher.h"
#include "patcher/net/http_client.h"
#include "patcher/protocol/signature.h"
#include "shared/command_line.h"
#include "shared/game_dir.h"
#include "shared/message_box.h"
#include "shared/posix_io.h"

namespace quillon {

namespace {

quask::ProgramHelp launcherHelp() {
    return quask::ProgramHelp{"quillon",
        "Usage: quillon [--console] [--no-start]\n"
        "The game's patcher and launcher. It brings the game directory (the folder\n"
        "this program is in) up to date from the patch server: it shows the\n"
        "server's notice, downloads and checks every changed file of the missing\n"
        "revisions, replaces the game files (itself included) and records the new\n"
        "revision; then Start Game starts the client behind a splash picture. A\n"
        "second launcher started meanwhile ends at once, silently.\n"
        "\n"
        "Exit status is 0 after a normal end (also when another launcher runs or\n"
        "the server is under maintenance), 1 after an error, which is shown in a\n"
        "message box, and 2 for an unknown option.\n"
        "\n"
        "Options:\n"
        "      --console    run in the terminal instead of the window: print the\n"
        "                   status, notices and progress, answer questions with\n"
        "                   their default, and start the game when the update ends\n"
        "                   well (also the case without a display)\n"
        "      --no-start   with --console: end after the update, do not start the\n"
        "                   game\n" +
            std::string(quask::kStandardOptionLines) +
        "\n"
        "Environment:\n"
        "  QUILLON_BASE_URL      the patch server's base URL, ending in a slash,\n"
        "                        instead of the built-in " + builtInPatchBaseUrl() + "\n"
        "  QUILLON_PUBLIC_KEY    the publisher's Ed25519 root key, as patchpub keygen\n"
        "                        prints it, instead of the built-in one: the first\n"
        "                        root of trust of a game directory that has none;\n"
        "                        one that has a root trusts only that and the roots\n"
        "                        it signs, whatever key the launcher has (built-in:\n"
        "                        " + (builtInPublicKeyText().empty() ? std::string("none") : builtInPublicKeyText()) + ")\n"
        "  QUILLON_STALL_SECONDS  seconds without a byte, or below 256 bytes a\n"
        "                        second, before a transfer fails (default 60)\n"
        "  QUASK_NONINTERACTIVE  1: every message box answers with its first button\n"
        "                        at once\n"
        "\n"
        "Files:\n"
        "  data/quillon.dat      the game directory's revision record\n"
        "  data/quillon.root     the keys the game directory trusts, and the\n"
        "  data/quillon.mirrors  mirrors of its patch server\n"
        "  DoFullCheck           when present, the next start checks and repairs\n"
        "                        every file; it goes once the check has finished\n"
        "  quillon_old           the launcher before it last updated itself\n"};
}

int failWith(const PatchFailure& failure) {
    quask::showMessageBox(failure.text, failure.caption, quask::BoxIcon::Error, quask::BoxButtons::Ok);
    return 1;
}

}  // namespace

std::optional<int> parseLaunchArgs(int argc, char** argv, LaunchOptions* options) {
    const quask::ProgramHelp help = launcherHelp();
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(help, standard);
    *options = LaunchOptions{};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--console") == 0) {
            options->console = true;
        } else if (std::strcmp(argv[i], "--no-start") == 0) {
            options->noStart = true;
        } else if (quask::isOptionWord(argv[i])) {
            return quask::unknownOption(help, argv[i]);
        } else {
            std::fprintf(stderr, "quillon: ignoring argument '%s'\n", argv[i]);
        }
    }
    return std::nullopt;
}

std::string instanceLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/QuaskPatchClient.lock";
    return "/tmp/QuaskPatchClient-" + std::to_string(static_cast<unsigned long>(::getuid())) + ".lock";
}

// --- Instance lock ---

InstanceLock::~InstanceLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing drops the lock
}

namespace {

InstanceLock::Result lockFd(int fd, int* held) {
    if (fd < 0) return InstanceLock::Unavailable;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool other = errno == EWOULDBLOCK;
        ::close(fd);
        return other ? InstanceLock::HeldElsewhere : InstanceLock::Unavailable;
    }
    if (*held >= 0) ::close(*held);
    *held = fd;
    return InstanceLock::Acquired;
}

}  // namespace

InstanceLock::Result InstanceLock::acquireInGame(const std::string& gameDir) {
    GameTree tree(gameDir);
    Fd dir = tree.openDir(parentOf(kGameLockName), true);
    if (!dir.valid()) return Unavailable;
    const std::string leaf = leafOf(kGameLockName);
    // Not made fresh like the launcher's other files: removing a lock file
    // would let a second launcher lock a new file beside the first one's.
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(dir.get(), leaf.c_str(), flags, 0644);
    if (fd < 0 && errno == ELOOP && ::unlinkat(dir.get(), leaf.c_str(), 0) == 0)
        fd = ::openat(dir.get(), leaf.c_str(), flags, 0644);
    return lockFd(fd, &m_fd);
}

InstanceLock::Result InstanceLock::acquire(const std::string& path) {
    return lockFd(quask::openOwnLockFile(path), &m_fd);
}

// --- Start-up ---

namespace {

// The console has no window loop to keep alive, so the worker runs here;
// after a run that ended well the game starts as if Start had been pressed.
int runConsole(const LaunchOptions& options, const quask::ProgramLocation& location,
               RevisionRecord& record, const PublicKey* key) {
    ConsoleUi console;
    LauncherState state(console);
    console.attach(&state);
    HttpClient http;
    PatchContext ctx{http, state, location.directory, patchBaseUrl(), location.moduleName, key, {}};

    const std::optional<PatchFailure> failure =
        record.fullCheckRequested ? runFullCheck(ctx, record) : runPatch(ctx, record);
    if (failure) return failWith(*failure);
    if (record.dirty) SaveRevisionRecord(location.directory, &record);
    if (options.noStart || !state.startEnabled()) {
        // A report that could not be written (standard output on a full
        // disk) must not read as a success to whoever ran the update.
        if (console.writeError() == 0) return quask::finishOutput("quillon", 0);
        std::fprintf(stderr, "quillon: cannot write to standard output: %s\n", std::strerror(console.writeError()));
        return 1;
    }
    return exitCodeAfterGameStart(startGame(GameStartSetup{location.directory, &console, nullptr}));
}

}  // namespace

int runLauncher(const LaunchOptions& options, const char* selfLink) {
    InstanceLock lock;
    const InstanceLock::Result locked = lock.acquire(instanceLockPath());
    // Another launcher is at work: leave without a word. A lock that cannot
    // be made at all does not stop the launcher, as a failed mutex would not.
    if (locked == InstanceLock::HeldElsewhere) return 0;

    // No display is no error: the console front end takes over.
    const bool windowed = !options.console && gtkStart();
    if (windowed) installGtkMessageBoxes();

    quask::ProgramLocation location;
    const quask::GameDirStatus dirStatus = quask::locateProgram(location, selfLink);
    if (dirStatus != quask::GameDirStatus::Ok)
        return failWith(PatchFailure{quask::gameDirFailureText(dirStatus), "Error"});

    // Launchers of two sessions have two runtime directories: the game
    // directory itself is locked as well, with the same silent end.
    InstanceLock gameLock;
    if (gameLock.acquireInGame(location.directory) == InstanceLock::HeldElsewhere) return 0;

    // A key that is set but unreadable must not mean "no key".
    PublicKey key;
    const KeySetting keySetting = trustedPublicKey(&key);
    if (keySetting == KeySetting::Malformed)
        return failWith(PatchFailure{
            "The update key of this launcher (QUILLON_PUBLIC_KEY) is malformed.\nNothing was changed - Please reinstall the launcher or contact the Support!",
            "Update Signature Error"});
    const PublicKey* trusted = keySetting == KeySetting::Trusted ? &key : nullptr;

    RevisionRecord record;
    if (auto failure = LoadRevisionRecord(location.directory, &record)) return failWith(*failure);
    if (!windowed) return runConsole(options, location, record, trusted);

    HttpClient http;
    WindowedLauncher launcher(location.directory, location.moduleName, record, http, trusted);
    launcher.run(record.fullCheckRequested);  // ends the process
}

}  // namespace quillon
