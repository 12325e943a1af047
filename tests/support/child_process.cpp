#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace quask_test {

namespace {

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The test's environment with `changes` applied. Appending a second entry of
// a name would not do: getenv() finds the first one.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        bool changed = false;
        for (const std::string& c : changes) changed = changed || nameOf(c) == nameOf(*e);
        if (!changed) env.emplace_back(*e);
    }
    for (const std::string& c : changes) {
        if (c.find('=') != std::string::npos) env.push_back(c);
    }
    return env;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    std::vector<std::string> changes = options.extraEnv;
    // Under the sanitizer script a leak check ends each program, and it stops
    // the program with ptrace, which a program under strace cannot be: every
    // traced run would end in the checker's fatal error instead of its own.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string& first = argv.at(0);
    if (asan && first.size() >= 6 && first.compare(first.size() - 6, 6, "strace") == 0)
        changes.push_back(std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0");
    const std::vector<std::string> envStore = environmentWith(changes);
    std::vector<char*> env;
    for (const std::string& e : envStore) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    const std::string* streams[] = {&options.stdoutPath, &options.stderrPath};
    for (int fd = 1; fd <= 2; ++fd) {
        const std::string& path = *streams[fd - 1];
        if (path.empty()) posix_spawn_file_actions_addclose(&fa, fd);
        else posix_spawn_file_actions_addopen(&fa, fd, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!options.workDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, options.workDir.c_str());
    // A path without a slash is looked up relative to the new working directory.
    std::string program = argv.at(0);
    if (program[0] != '/' && program.find('/') != std::string::npos && !options.workDir.empty())
        program = options.workDir + "/" + program;
    if (posix_spawn(&m_pid, program.c_str(), &fa, nullptr, args.data(), env.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&fa);
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

int ChildProcess::waitExit(int ms) { return m_pid > 0 ? reapWithin(m_pid, ms, &m_reaped) : -1; }

int reapWithin(pid_t pid, int ms, bool* reaped) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            *reaped = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (waited >= ms) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RunResult runToEnd(const std::vector<std::string>& argv, const std::string& dir, int ms) {
    ChildProcess::Options options;
    options.stdoutPath = dir + "/stdout.txt";
    options.stderrPath = dir + "/stderr.txt";
    RunResult result;
    {
        ChildProcess child(argv, options);
        if (!child.started()) return result;
        result.code = child.waitExit(ms);
    }
    result.out = readFile(options.stdoutPath);
    result.err = readFile(options.stderrPath);
    return result;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    const std::string text = readFile(path);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

namespace {

bool writeRaw(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return out.good();
}

}  // namespace

bool writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    return writeRaw(path, bytes.data(), bytes.size());
}

bool writeFile(const std::string& path, const std::string& text) { return writeRaw(path, text.data(), text.size()); }

bool waitForText(const std::string& path, const std::string& text, int ms) {
    for (int waited = 0; waited <= ms; waited += 10) {
        if (readFile(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string makeTempDir(const char* prefix) {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/" + prefix + "XXXXXX";
    if (!mkdtemp(pattern.data())) return {};
    return pattern;
}

void removeTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace quask_test
