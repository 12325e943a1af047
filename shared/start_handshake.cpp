#include "shared/start_handshake.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "shared/posix_io.h"

namespace quask {

namespace {

constexpr long kWaitSliceNs = 50L * 1000L * 1000L;

void addNanoseconds(timespec& t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

// Waits up to one slice for a signal; EINTR counts as "not yet".
bool waitSlice(sem_t* event) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    addNanoseconds(deadline, kWaitSliceNs);
    // A monotonic deadline: a clock change must not stall the process check.
    return sem_clockwait(event, CLOCK_MONOTONIC, &deadline) == 0;
}

}  // namespace

std::string splashEventName(const std::string& gameDir) {
    // The resolved path, so a link to the directory names the same event.
    char resolved[PATH_MAX];
    const std::string dir = realpath(gameDir.c_str(), resolved) ? resolved : gameDir;
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a, 64 bit
    for (unsigned char c : dir) hash = (hash ^ c) * 1099511628211ULL;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(hash));
    return "/QuaskSplashScreenWait." + std::to_string(static_cast<unsigned long>(getuid())) + suffix;
}

std::string clientProgramPath(const std::string& gameDir) { return gameDir + "/system/velmar"; }

// --- SplashEvent ---

SplashEvent::~SplashEvent() { close(); }

SplashEvent::SplashEvent(SplashEvent&& other) noexcept : m_event(other.m_event) {
    other.m_event = nullptr;
}

SplashEvent& SplashEvent::operator=(SplashEvent&& other) noexcept {
    if (this != &other) {
        close();
        m_event = other.m_event;
        other.m_event = nullptr;
    }
    return *this;
}

SplashEvent SplashEvent::create(const std::string& name, int* error) {
    sem_t* event = sem_open(name.c_str(), O_CREAT, 0600, 0);
    if (event == SEM_FAILED) {
        if (error) *error = errno;
        return SplashEvent();
    }
    if (error) *error = 0;
    return SplashEvent(event);
}

SplashEvent SplashEvent::openExisting(const std::string& name) {
    sem_t* event = sem_open(name.c_str(), 0);
    return event == SEM_FAILED ? SplashEvent() : SplashEvent(event);
}

void SplashEvent::reset() {
    if (!m_event) return;
    while (sem_trywait(m_event) == 0 || errno == EINTR) {
    }
}

bool SplashEvent::set() { return m_event && sem_post(m_event) == 0; }

bool SplashEvent::trySignalled() {
    if (!m_event) return false;
    for (;;) {
        if (sem_trywait(m_event) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void SplashEvent::close() {
    if (m_event) sem_close(m_event);
    m_event = nullptr;
}

bool SplashEvent::signalAndClose() {
    if (!m_event) return false;
    const bool posted = set();
    close();
    return posted;
}

SplashWait SplashEvent::waitSetOrProcessEnded(pid_t pid, int* exitStatus) {
    for (;;) {
        if (m_event && waitSlice(m_event)) return SplashWait::Set;
        if (!m_event) {
            timespec slice{0, kWaitSliceNs};
            nanosleep(&slice, nullptr);
        }
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            if (exitStatus) *exitStatus = status;
            // The client may have signalled between our last look and its end.
            return trySignalled() ? SplashWait::Set : SplashWait::ProcessEnded;
        }
        if (got < 0 && errno != EINTR) return SplashWait::Failed;
    }
}

bool unlinkSplashEvent(const std::string& name) { return sem_unlink(name.c_str()) == 0; }

// --- Turns ---

std::string startTurnPath(const std::string& eventName) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime && *runtime ? runtime : "/tmp";
    const std::string leaf = eventName.empty() || eventName[0] != '/' ? eventName : eventName.substr(1);
    return dir + "/" + leaf + ".lock";
}

StartTurn::StartTurn(const std::string& eventName) {
    // Not inherited: the client must not hold the next starter's turn.
    m_fd = openOwnLockFile(startTurnPath(eventName));
    if (m_fd < 0) return;
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        ::close(m_fd);
        m_fd = -1;
        return;
    }
}

StartTurn::~StartTurn() {
    if (m_fd >= 0) ::close(m_fd);  // closing ends the turn
}

// --- The client's process-wide event ---

namespace {

std::mutex g_clientLock;
SplashEvent g_clientEvent;

}  // namespace

bool openClientSplashEvent() {
    std::lock_guard<std::mutex> lock(g_clientLock);
    g_clientEvent = SplashEvent::openExisting(splashEventName("."));
    return g_clientEvent.isOpen();
}

void signalClientSplashEvent() {
    std::lock_guard<std::mutex> lock(g_clientLock);
    g_clientEvent.signalAndClose();
}

}  // namespace quask
