// Starting another program of ours and waiting for it to end.
//
// A started program gets our environment, a clean signal mask and only the
// standard descriptors: everything we open ourselves is close-on-exec. The
// caller owns the process id and reaps it (waitProcess, or the splash wait).
// Any thread may call these; waitProcess blocks only the calling thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quask {

// Starts argv[0] with the arguments argv (argv[0] included), in `workingDir`
// (empty: ours). Returns 0 and sets `pid`, or the error number; a program that
// cannot be run or a directory that cannot be entered is an error here, not
// an exit status of the child.
int startProcess(const std::vector<std::string>& argv, const std::string& workingDir,
                 pid_t& pid);

// Runs argv (a check, such as a program's --version) with no input and its
// output thrown away, in `workingDir`, and waits for it: true when it ended
// with status 0 within `timeoutMs`. One still running then is killed.
bool runsToSuccess(const std::vector<std::string>& argv, const std::string& workingDir, int timeoutMs);

enum class ProcessEnd { Exited, Signalled, Failed };

// Waits until `pid` ends and reaps it. `code` is the exit code or the signal
// number; Failed when the process is not our child.
ProcessEnd waitProcess(pid_t pid, int& code);

// Turns a waitpid status into ProcessEnd and `code`.
ProcessEnd decodeWaitStatus(int status, int& code);

}  // namespace quask
