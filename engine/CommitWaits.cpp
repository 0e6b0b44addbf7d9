#include "engine/CommitWaits.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "device/MessagePump.h"

namespace zorbel {

namespace {
// How often the window handles its messages while the drives are asked.
constexpr auto PumpEvery = std::chrono::milliseconds(20);
}  // namespace

void AwaitDrivesAfterCommits(std::span<CommitWait> waits) {
    std::mutex mutex;
    std::condition_variable answered;
    std::size_t open = 0;
    std::vector<std::thread> threads;
    threads.reserve(waits.size());
    std::vector<CommitWait*> here;  // the waits that got no thread
    for (CommitWait& wait : waits) {
        try {
            const std::lock_guard lock(mutex);
            threads.emplace_back([&wait, &mutex, &answered, &open] {
                wait.verdict = AwaitDriveAfterCommit(*wait.drive, wait.newRevision);
                const std::lock_guard lock(mutex);
                --open;
                answered.notify_one();
            });
            ++open;
        } catch (const std::system_error&) {
            here.push_back(&wait);
        }
    }
    for (CommitWait* wait : here) {
        wait->verdict = AwaitDriveAfterCommit(*wait->drive, wait->newRevision);
    }
    // A real-time wait of its own: the drives' waits are what takes the time.
    std::unique_lock lock(mutex);
    while (open != 0) {
        lock.unlock();
        pumpIfWindowThread();
        lock.lock();
        answered.wait_for(lock, PumpEvery, [&] { return open == 0; });
    }
    lock.unlock();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace zorbel
