// The Task and IO workers on a real X server (Xvfb with Mesa's software
// renderer): prompt stops, the IO worker's shared GL context, job order,
// jobs released at stop and concurrent appends.
#include "client/platform/async_worker.h"

#include <GL/gl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/platform/window.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"
#include "tests/support/xvfb_suite.h"

namespace {

using namespace std::chrono_literals;
using velmar::AsyncWorker;
using velmar::AsyncWorkerJobHandler;
using velmar::AsyncWorkerKind;
using Clock = std::chrono::steady_clock;

// Far below the idle wake-up: a job or stop that needed it fails the test.
constexpr auto kPrompt = 5000ms;

// --- Recording jobs ---

// What jobs did, written on the workers and read by the test thread.
class Probe {
public:
    void ran(int value) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_values.push_back(value);
        m_threads.push_back(std::this_thread::get_id());
        m_changed.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = kPrompt) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return m_values.size() >= count; });
    }
    std::vector<int> values() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_values;
    }
    std::thread::id threadOf(std::size_t index) {
        std::lock_guard<std::mutex> lock(m_lock);
        return index < m_threads.size() ? m_threads[index] : std::thread::id();
    }

    // The worker destroys a job just after it reports: a probe must not go
    // out of scope before that, or the job's destructor writes to a dead one.
    bool waitDestroyed(int count) {
        const auto deadline = Clock::now() + kPrompt;
        while (destroyed.load() < count && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return destroyed.load() == count;
    }

    std::atomic<int> destroyed{0};

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<int> m_values;
    std::vector<std::thread::id> m_threads;
};

class ProbeJob : public AsyncWorkerJobHandler {
public:
    ProbeJob(Probe& probe, int value, std::function<void()> body = {})
        : m_probe(probe), m_value(value), m_body(std::move(body)) {}
    ~ProbeJob() override { ++m_probe.destroyed; }
    void run() override {
        if (m_body) m_body();
        m_probe.ran(m_value);
    }
    bool isImplemented() const override { return true; }

private:
    Probe& m_probe;
    int m_value;
    std::function<void()> m_body;
};

bool append(AsyncWorkerKind kind, Probe& probe, int value, std::function<void()> body = {}) {
    return AsyncWorker::append(kind, std::make_unique<ProbeJob>(probe, value, std::move(body)));
}

// A one-shot gate a job can wait at.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_open = true;
        m_changed.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout = kPrompt) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return m_open; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open = false;
};

// --- Fixture: a main window on an Xvfb of the test's own ---

class Workers : public quask_test::OnXvfb<> {
protected:
    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        setenv("QUASK_NONINTERACTIVE", "1", 1);  // a critical line's box must not wait
        ASSERT_TRUE(velmar::windowInit());
        ASSERT_TRUE(velmar::windowOpen(64, 48, velmar::WindowMode::Windowed));
    }
    void TearDown() override {
        AsyncWorker::stop();
        velmar::windowTerminate();
    }

};

// --- Start and stop ---

TEST_F(Workers, StopRightAfterStartEndsBothWorkersWithoutTheIdleWait) {
    // Repeated: a stop signal lost before a worker first sleeps shows only sometimes.
    for (int round = 0; round < 5; ++round) {
        const auto begin = Clock::now();
        AsyncWorker::start();
        EXPECT_TRUE(AsyncWorker::running());
        AsyncWorker::stop();
        EXPECT_LT(Clock::now() - begin, kPrompt) << "round " << round;
        EXPECT_FALSE(AsyncWorker::running());
    }
}

TEST_F(Workers, AppendOutsideTheRunningTimeDestroysTheJobUnrun) {
    Probe probe;
    EXPECT_FALSE(append(AsyncWorkerKind::IO, probe, 1));
    AsyncWorker::start();
    AsyncWorker::stop();
    EXPECT_FALSE(append(AsyncWorkerKind::Task, probe, 2));
    EXPECT_TRUE(probe.values().empty());
    EXPECT_EQ(probe.destroyed.load(), 2);
    EXPECT_FALSE(AsyncWorker::append(AsyncWorkerKind::IO, nullptr));
}

TEST_F(Workers, JobsStillQueuedAtStopAreDestroyedUnrun) {
    AsyncWorker::start();
    Probe probe;
    Gate started, release;
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 1, [&] {
        started.open();
        release.wait();
    }));
    ASSERT_TRUE(started.wait());
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 2));
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 3));
    std::thread stopper([] { AsyncWorker::stop(); });
    // The running job ends only once the stop is under way.
    const auto deadline = Clock::now() + kPrompt;
    while (AsyncWorker::running() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(AsyncWorker::running());
    release.open();
    stopper.join();
    EXPECT_EQ(probe.values(), std::vector<int>{1});
    EXPECT_EQ(probe.destroyed.load(), 3);
}

// --- Jobs ---

TEST_F(Workers, IOJobRunsOnItsOwnThreadWithAContextSharingTheMainOne) {
    AsyncWorker::start();
    Probe probe;
    GLuint texture = 0;
    bool hadContext = false;
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 1, [&] {
        hadContext = glGetString(GL_VERSION) != nullptr;
        if (!hadContext) return;
        const GLubyte pixel[4] = {1, 2, 3, 4};
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
        glFinish();
    }));
    ASSERT_TRUE(probe.waitFor(1));
    EXPECT_NE(probe.threadOf(0), std::this_thread::get_id());
    ASSERT_TRUE(hadContext);
    ASSERT_NE(texture, 0u);
    // Made by the IO context, known to the main one.
    EXPECT_EQ(glIsTexture(texture), GL_TRUE);
    glDeleteTextures(1, &texture);
    EXPECT_TRUE(probe.waitDestroyed(1));
}

TEST_F(Workers, TaskAndIOJobsRunOnTwoSeparateThreads) {
    AsyncWorker::start();
    Probe probe;
    ASSERT_TRUE(append(AsyncWorkerKind::Task, probe, 1));
    ASSERT_TRUE(probe.waitFor(1));
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 2));
    ASSERT_TRUE(probe.waitFor(2));
    const std::thread::id main = std::this_thread::get_id();
    EXPECT_NE(probe.threadOf(0), main);
    EXPECT_NE(probe.threadOf(1), main);
    EXPECT_NE(probe.threadOf(0), probe.threadOf(1));
    EXPECT_TRUE(probe.waitDestroyed(2));
}

TEST_F(Workers, TaskWorkerKeepsItsCreatorsPriorityAndIOGoesToTheLowest) {
    const auto nice = [] { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))); };
    const int creator = nice();
    AsyncWorker::start();
    std::atomic<int> task{99}, io{99};
    Probe probe;
    ASSERT_TRUE(append(AsyncWorkerKind::Task, probe, 1, [&] { task = nice(); }));
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 2, [&] { io = nice(); }));
    ASSERT_TRUE(probe.waitFor(2));
    EXPECT_EQ(task.load(), creator);
    // The mapping every thread of the client uses; an unprivileged process
    // already below it cannot come back up.
    const int lowest = static_cast<int>(velmar::ThreadPriority::Lowest);
    EXPECT_EQ(io.load(), ::geteuid() == 0 || creator <= lowest ? lowest : creator);
    EXPECT_TRUE(probe.waitDestroyed(2));
}

TEST_F(Workers, JobAppendedWhileAnotherRunsIsNotLeftForTheIdleWakeUp) {
    AsyncWorker::start();
    for (AsyncWorkerKind kind : {AsyncWorkerKind::Task, AsyncWorkerKind::IO}) {
        Probe probe;
        Gate release;
        // The second job arrives while the worker is busy, not sleeping.
        ASSERT_TRUE(append(kind, probe, 1, [&] { release.wait(); }));
        ASSERT_TRUE(append(kind, probe, 2));
        release.open();
        EXPECT_TRUE(probe.waitFor(2)) << "kind " << static_cast<int>(kind);
        EXPECT_EQ(probe.values(), (std::vector<int>{1, 2}));
        EXPECT_TRUE(probe.waitDestroyed(2));
    }
}

TEST_F(Workers, TwoJobsAppendedBackToBackBothRunPromptlyInOrder) {
    AsyncWorker::start();
    Probe probe;
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 1));
    ASSERT_TRUE(append(AsyncWorkerKind::IO, probe, 2));
    ASSERT_TRUE(append(AsyncWorkerKind::Task, probe, 3));
    ASSERT_TRUE(append(AsyncWorkerKind::Task, probe, 4));
    ASSERT_TRUE(probe.waitFor(4));
    AsyncWorker::stop();  // a job is destroyed just after it reports
    const std::vector<int> values = probe.values();
    std::vector<int> io, task;
    for (int value : values) (value <= 2 ? io : task).push_back(value);
    EXPECT_EQ(io, (std::vector<int>{1, 2}));
    EXPECT_EQ(task, (std::vector<int>{3, 4}));
    EXPECT_EQ(probe.destroyed.load(), 4);
}

TEST_F(Workers, ConcurrentAppendsFromTwoThreadsEachRunOnceInTheirOrder) {
    AsyncWorker::start();
    constexpr int kPerThread = 1000;
    Probe probe;
    auto appender = [&](int first) {
        for (int i = 0; i < kPerThread; ++i) {
            const AsyncWorkerKind kind = i % 2 ? AsyncWorkerKind::IO : AsyncWorkerKind::Task;
            EXPECT_TRUE(append(kind, probe, first + i));
        }
    };
    std::thread a(appender, 0), b(appender, kPerThread);
    a.join();
    b.join();
    ASSERT_TRUE(probe.waitFor(2 * kPerThread, 20000ms));
    AsyncWorker::stop();
    const std::vector<int> values = probe.values();
    ASSERT_EQ(values.size(), static_cast<std::size_t>(2 * kPerThread));
    EXPECT_EQ(probe.destroyed.load(), 2 * kPerThread);
    // One queue keeps the order of one appender; every job ran exactly once.
    std::vector<int> seen(2 * kPerThread, 0);
    int last[2][2] = {{-1, -1}, {-1, -1}};
    for (int value : values) {
        ASSERT_GE(value, 0);
        ASSERT_LT(value, 2 * kPerThread);
        ++seen[value];
        int& previous = last[value / kPerThread][value % 2];
        EXPECT_GT(value, previous);
        previous = value;
    }
    for (int count : seen) EXPECT_EQ(count, 1);
}

// --- Log lines ---

TEST_F(Workers, ReadyLinesAndTheBaseHandlerReportReachTheLog) {
    const std::string dir = quask_test::makeTempDir("quask-worker-");
    ASSERT_FALSE(dir.empty());
    // The log's datagrams go to a port of our own that nobody else uses.
    const quask_test::LogSocket logSocket;
    ASSERT_TRUE(logSocket.ok());
    velmar::CLOG::Create(dir + "/log", logSocket.port());

    AsyncWorker::start();
    auto base = std::make_unique<AsyncWorkerJobHandler>();
    EXPECT_FALSE(base->isImplemented());
    ASSERT_TRUE(AsyncWorker::append(AsyncWorkerKind::Task, std::move(base)));
    Probe probe;
    ASSERT_TRUE(append(AsyncWorkerKind::Task, probe, 1));  // the worker goes on
    EXPECT_TRUE(probe.waitFor(1));
    AsyncWorker::stop();
    velmar::CLOG::Destroy();

    const std::string log = quask_test::readFile(dir + "/log/LastRun.log");
    quask_test::removeTree(dir);
    EXPECT_NE(log.find("AsyncWorker (Task) initialization done. / Ready!"), std::string::npos) << log;
    EXPECT_NE(log.find("AsyncWorker (IO) initialization done. / Ready!"), std::string::npos) << log;
    EXPECT_NE(log.find("AsyncWorkerJobHandler -> NULL Handle (Handler Not implemented) - "
                       "This should'nt happen."),
              std::string::npos)
        << log;
}

// --- Fatal start ---

TEST(AsyncWorkerStart, WithoutAMainWindowTheIOContextFailureEndsTheProcess) {
    // The death test runs this body again in a child: it inherits the
    // parent's directory through the environment instead of making its own.
    const char* kDirVariable = "QUASK_ASYNC_WORKER_TEST_DIR";
    const char* inherited = std::getenv(kDirVariable);
    const std::string dir = inherited ? inherited : quask_test::makeTempDir("quask-worker-");
    ASSERT_FALSE(dir.empty());
    setenv(kDirVariable, dir.c_str(), 1);
    setenv("QUASK_NONINTERACTIVE", "1", 1);
    EXPECT_EXIT(
        {
            velmar::CLOG::Create(dir + "/log", quask_test::quietLogPort());  // the critical line needs a log
            AsyncWorker::start();
        },
        ::testing::ExitedWithCode(1), "Cannot Create new Rendering Context for IO Worker Thread");
    unsetenv(kDirVariable);
    quask_test::removeTree(dir);
}

}  // namespace
