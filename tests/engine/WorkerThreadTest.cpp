// The worker thread facility: suspended creation, one run of the body, the end
// event on the dispatching (window's) thread, self-freeing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/WorkerThread.h"

namespace zorbel {
namespace {

using namespace std::chrono_literals;

struct Counters {
    std::atomic<int> executed{0};
    std::atomic<int> destroyed{0};
    std::thread::id bodyThread;
};

class CountingThread : public WorkerThread {
  public:
    CountingThread(Counters& counters, EndEventDispatcher* dispatcher, bool throws = false)
        : WorkerThread(dispatcher), counters_(counters), throws_(throws) {}
    ~CountingThread() override { ++counters_.destroyed; }

  protected:
    void Execute() override {
        counters_.bodyThread = std::this_thread::get_id();
        ++counters_.executed;
        if (throws_) {
            throw std::runtime_error("body failed");
        }
    }

  private:
    Counters& counters_;
    bool throws_;
};

// Runs end events on this thread until `done` holds or 10 s passed.
template <typename Done>
void pumpUntil(EndEventQueue& queue, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        queue.waitAndRunOne(10ms);
    }
}

TEST(WorkerThread, BodyWaitsForResumeThenEndEventRunsOnWindowThreadAndFreesObject) {
    EndEventQueue queue;
    Counters counters;
    auto* thread = new CountingThread(counters, &queue);
    thread->FreeOnTerminate = true;
    int endEvents = 0;
    std::thread::id endThread;
    bool bodyDoneAtEnd = false;
    thread->OnTerminate = [&](WorkerThread&) {
        ++endEvents;
        endThread = std::this_thread::get_id();
        bodyDoneAtEnd = counters.executed == 1;
    };

    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(counters.executed, 0) << "a suspended thread must not run";

    thread->Resume();
    thread->Resume();  // a second Resume starts nothing more
    pumpUntil(queue, [&] { return counters.destroyed == 1; });

    EXPECT_EQ(counters.executed, 1);
    EXPECT_EQ(endEvents, 1);
    EXPECT_TRUE(bodyDoneAtEnd);
    EXPECT_EQ(endThread, std::this_thread::get_id());
    EXPECT_NE(counters.bodyThread, std::this_thread::get_id());
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(WorkerThread, ExceptionFromBodyIsAbsorbedAndEndEventStillRuns) {
    EndEventQueue queue;
    Counters counters;
    auto* thread = new CountingThread(counters, &queue, /*throws=*/true);
    thread->FreeOnTerminate = true;
    bool sawFatal = false;
    thread->OnTerminate = [&](WorkerThread& sender) {
        sawFatal = sender.FatalException() != nullptr;
    };
    thread->Resume();
    pumpUntil(queue, [&] { return counters.destroyed == 1; });
    EXPECT_TRUE(sawFatal);
    EXPECT_EQ(counters.destroyed, 1);
}

TEST(WorkerThread, EndEventNeedsADispatcher) {
    setEndEventDispatcher(nullptr);
    Counters counters;
    {
        CountingThread thread(counters, nullptr);
        thread.OnTerminate = [](WorkerThread&) {};
        EXPECT_THROW(thread.Resume(), std::logic_error);
        EXPECT_FALSE(thread.Started());
    }
    EXPECT_EQ(counters.executed, 0);
}

TEST(WorkerThread, ProcessWideDispatcherServesThreadsCreatedWithoutOne) {
    EndEventQueue queue;
    setEndEventDispatcher(&queue);
    Counters counters;
    auto* thread = new CountingThread(counters, nullptr);
    thread->FreeOnTerminate = true;
    int endEvents = 0;
    thread->OnTerminate = [&](WorkerThread&) { ++endEvents; };
    thread->Resume();
    pumpUntil(queue, [&] { return counters.destroyed == 1; });
    setEndEventDispatcher(nullptr);
    EXPECT_EQ(endEvents, 1);
}

TEST(WorkerThread, WithoutEndHandlerASelfFreeingThreadFreesItselfOnItsOwnThread) {
    Counters counters;
    auto* thread = new CountingThread(counters, nullptr);
    thread->FreeOnTerminate = true;
    thread->Resume();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (counters.destroyed == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(counters.executed, 1);
    EXPECT_EQ(counters.destroyed, 1);
}

TEST(WorkerThread, ThreadThatDoesNotFreeItselfIsJoinedByItsOwner) {
    EndEventQueue queue;
    Counters counters;
    {
        CountingThread thread(counters, &queue);
        bool ended = false;
        thread.OnTerminate = [&](WorkerThread&) { ended = true; };
        thread.Resume();
        pumpUntil(queue, [&] { return ended; });
        EXPECT_TRUE(ended);
    }
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_EQ(counters.executed, 1);
}

}  // namespace
}  // namespace zorbel
