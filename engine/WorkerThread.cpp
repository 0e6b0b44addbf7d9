#include "engine/WorkerThread.h"

#include <atomic>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace zorbel {

namespace {
std::atomic<EndEventDispatcher*> g_dispatcher{nullptr};
std::atomic<bool> g_threadCreationRefused{false};
}  // namespace

void setEndEventDispatcher(EndEventDispatcher* dispatcher) {
    g_dispatcher.store(dispatcher);
}

EndEventDispatcher* endEventDispatcher() {
    return g_dispatcher.load();
}

void setThreadCreationRefused(bool refused) {
    g_threadCreationRefused.store(refused);
}

// ---- EndEventQueue ----

void EndEventQueue::post(std::function<void()> event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    ready_.notify_all();
}

std::size_t EndEventQueue::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> event;
        {
            std::lock_guard lock(mutex_);
            if (events_.empty()) {
                return ran;
            }
            event = std::move(events_.front());
            events_.pop_front();
        }
        event();
        ++ran;
    }
}

bool EndEventQueue::waitAndRunOne(std::chrono::milliseconds timeout) {
    std::function<void()> event;
    {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return !events_.empty(); })) {
            return false;
        }
        event = std::move(events_.front());
        events_.pop_front();
    }
    event();
    return true;
}

std::size_t EndEventQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return events_.size();
}

// ---- WorkerThread ----

WorkerThread::WorkerThread(EndEventDispatcher* dispatcher) : dispatcher_(dispatcher) {}

WorkerThread::~WorkerThread() {
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // a thread freeing itself at its own end
        } else {
            thread_.join();
        }
    }
}

void WorkerThread::Resume() {
    if (started_) {
        return;
    }
    if (dispatcher_ == nullptr) {
        dispatcher_ = endEventDispatcher();
    }
    if (OnTerminate && dispatcher_ == nullptr) {
        throw std::logic_error("worker thread: an end event needs an end-event dispatcher");
    }
    if (g_threadCreationRefused.load()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "worker thread: no thread can be created");
    }
    // The new thread waits at the gate until the object is complete: it may
    // free the object as soon as its body has run.
    std::lock_guard gate(startGate_);
    thread_ = std::thread([this] { ThreadMain(); });
    started_ = true;
}

void WorkerThread::ThreadMain() {
    { std::lock_guard gate(startGate_); }
    try {
        Execute();
    } catch (...) {
        fatalException_ = std::current_exception();
    }
    if (OnTerminate) {
        // From here on the window's thread owns the object: this thread must
        // not touch it again, since the end event may free it at once.
        dispatcher_->post([this] { DeliverEnd(); });
        return;
    }
    if (FreeOnTerminate) {
        delete this;
    }
}

void WorkerThread::DeliverEnd() {
    try {
        OnTerminate(*this);
    } catch (...) {
        if (FreeOnTerminate) {
            delete this;
        }
        throw;
    }
    if (FreeOnTerminate) {
        delete this;
    }
}

}  // namespace zorbel
