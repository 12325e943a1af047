// The worker gate that ending the launcher waits for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "patcher/front/worker_gate.h"

using namespace quillon;

TEST(WorkerGate, EndingWaitsUntilTheWorkerWaitsForTheWindow) {
    WorkerGate gate;
    std::atomic<int> step{0};
    std::atomic<bool> takenWhileWaiting{false};
    std::thread worker([&] {
        gate.enter();
        EXPECT_TRUE(gate.heldByThisThread());
        step = 1;
        while (step != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        {
            WorkerGate::WaitScope waiting;  // as inside a command send
            step = 3;
            while (step != 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Back from the wait: the ender held the gate, so this waited for it.
        takenWhileWaiting = step == 5;
        gate.leave();
    });
    while (step != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(gate.heldByThisThread());
    EXPECT_FALSE(gate.tryTake());  // the worker is at work
    step = 2;
    while (step != 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(gate.tryTake());   // the worker waits for us
    step = 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    step = 5;
    gate.release();
    worker.join();
    EXPECT_TRUE(takenWhileWaiting);
    EXPECT_TRUE(gate.tryTake());  // the worker let go at its end
    gate.release();
}

TEST(WorkerGate, WaitingOnAThreadWithoutTheGateLeavesItAlone) {
    WorkerGate gate;
    ASSERT_TRUE(gate.tryTake());
    bool takenElsewhere = true;
    {
        WorkerGate::WaitScope waiting;  // the game start thread holds no gate
        std::thread other([&] { takenElsewhere = gate.tryTake(); });
        other.join();
    }
    EXPECT_FALSE(takenElsewhere);
    gate.release();
}
