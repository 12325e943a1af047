// The start handshake between a starter (the launcher or `starter`) and the
// game client, through the splash event: a per-user named semaphore.
//
// Starter: create the event, reset it, start the client with the game
// directory as its working directory, wait until the event is set or the
// client ends, close the event and unlink its name. Client: open the existing
// event at start-up (missing = not started by a starter, the client ends),
// set it once when its window is ready, close it.
//
// A SplashEvent owns its open semaphore and closes it when destroyed; the
// name lives until unlinkSplashEvent. One thread uses one SplashEvent; the
// client's process-wide event (openClientSplashEvent/signalClientSplashEvent)
// may be signalled from any thread.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <string>

namespace quask {

// "/QuaskSplashScreenWait.<uid>.<hash of the resolved game directory>": per
// user, as a desktop session would be, and per game directory, so that a
// client started from one installation cannot release the splash of another
// (nor can two installations, or two test runs, unlink each other's event).
// The client, whose working directory is its game directory, passes ".".
std::string splashEventName(const std::string& gameDir);

// "<gameDir>/system/velmar".
std::string clientProgramPath(const std::string& gameDir);

enum class SplashWait {
    Set,           // the client signalled (possibly just before it ended)
    ProcessEnded,  // the client ended first; the process is reaped
    Failed,        // the process is not our child
};

class SplashEvent {
public:
    SplashEvent() = default;
    ~SplashEvent();
    SplashEvent(SplashEvent&& other) noexcept;
    SplashEvent& operator=(SplashEvent&& other) noexcept;
    SplashEvent(const SplashEvent&) = delete;
    SplashEvent& operator=(const SplashEvent&) = delete;

    // Creates the event, or opens one of the same name (mode 0600, count 0).
    // Not open on failure; `error` gets the error number.
    static SplashEvent create(const std::string& name, int* error = nullptr);
    // Opens an event a starter created; not open when there is none.
    static SplashEvent openExisting(const std::string& name);

    bool isOpen() const { return m_event != nullptr; }
    // Takes back every signal still pending, so only a new one counts.
    void reset();
    bool set();
    // Takes one pending signal without waiting; false when there is none.
    bool trySignalled();
    void close();
    // The client's "signal the splash event": sets it and closes it when it
    // is open, else nothing; true when a signal was posted.
    bool signalAndClose();

    // Waits, without time limit, until the event is set or `pid` ends.
    // `exitStatus` gets the waitpid status when the process ended.
    SplashWait waitSetOrProcessEnded(pid_t pid, int* exitStatus = nullptr);

private:
    explicit SplashEvent(sem_t* event) : m_event(event) {}
    sem_t* m_event = nullptr;
};

// Removes the name; events already open stay usable. False when it was absent.
bool unlinkSplashEvent(const std::string& name);

// Starters of one event take turns, from creating it to unlinking it: with
// one name for all, a second starter's reset would take the first client's
// signal, and the first starter's unlink would leave the second client
// without an event to open. A starter holds its turn for the life of the
// object and waits for it as long as the starter before waits for its
// client. The turn is an advisory lock on "<name>.lock" in the runtime
// directory (/tmp without one), so a killed starter's turn ends with it;
// where that file cannot be had the starter goes on without waiting.
std::string startTurnPath(const std::string& eventName);

class StartTurn {
public:
    explicit StartTurn(const std::string& eventName);
    ~StartTurn();
    StartTurn(const StartTurn&) = delete;
    StartTurn& operator=(const StartTurn&) = delete;

private:
    int m_fd = -1;
};

// --- The client's process-wide event ---

// Opens the event a starter made for the working directory's game; false
// when it does not exist.
bool openClientSplashEvent();
// Sets and closes the event opened above; later calls do nothing.
void signalClientSplashEvent();

}  // namespace quask
