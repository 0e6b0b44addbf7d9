// The worker thread facility: a thread object created suspended, started once
// with Resume, whose body (Execute) runs on a new thread. When the body has
// returned, the thread's end event (OnTerminate) runs on the window's thread,
// and then the object frees itself when FreeOnTerminate is set.
//
// End events reach the window's thread through an EndEventDispatcher, which
// every front end supplies (the Qt window, the console, the scripted toolkit
// of the tests). A thread takes the dispatcher given to its constructor, or
// else the process-wide one installed with setEndEventDispatcher.
//
// Typical use, on the window's thread:
//     auto* worker = new Parser(params, &toolkit.endEventDispatcher());
//     worker->OnTerminate = [this](WorkerThread& sender) { ... };
//     worker->Resume();
// The worker deletes itself after its end event has run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace zorbel {

// Carries end events from worker threads to the window's thread.
class EndEventDispatcher {
  public:
    virtual ~EndEventDispatcher() = default;
    // Called on a worker thread. Queues the event and returns at once; the
    // front end later runs it on the window's thread, exactly once. Everything
    // the worker wrote before post must be visible to the event when it runs
    // (a mutex-guarded queue or the toolkit's cross-thread event gives this).
    virtual void post(std::function<void()> event) = 0;
};

// The process-wide dispatcher for threads constructed without one. Install it
// before the first Resume; null removes it.
void setEndEventDispatcher(EndEventDispatcher* dispatcher);
EndEventDispatcher* endEventDispatcher();

// While refused, Resume starts no thread and throws std::system_error, as when
// the system has no thread left to give. Lets tests show that path.
void setThreadCreationRefused(bool refused);

// A ready-made dispatcher: a queue that the window's thread drains itself.
// The console front end and the tests use it.
class EndEventQueue final : public EndEventDispatcher {
  public:
    void post(std::function<void()> event) override;
    // Runs every queued event on the calling thread (also events queued while
    // it runs); returns how many ran.
    std::size_t runPending();
    // Waits up to the timeout for an event, runs one, and tells whether it did.
    bool waitAndRunOne(std::chrono::milliseconds timeout);
    std::size_t pendingCount() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> events_;
};

class WorkerThread {
  public:
    using TerminateHandler = std::function<void(WorkerThread& sender)>;

    // Creates the thread object suspended: nothing runs until Resume. A thread
    // that frees itself must be allocated with new.
    explicit WorkerThread(EndEventDispatcher* dispatcher = nullptr);
    // Waits for a running body to end (unless called from the thread itself).
    // A thread that does not free itself may be destroyed before Resume or
    // after its end event has run, not while that event is still queued.
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the body on a new thread; later calls do nothing. Throws
    // std::logic_error, starting nothing, when OnTerminate is attached but no
    // dispatcher is known, and std::system_error when no thread can be created.
    void Resume();

    // Set both before Resume; the thread reads them when its body has returned.
    // OnTerminate runs on the window's thread after Execute returned; then, with
    // FreeOnTerminate, the object deletes itself there. Without an OnTerminate
    // handler a self-freeing thread deletes itself on its own thread.
    TerminateHandler OnTerminate;
    bool FreeOnTerminate = false;

    // An exception that escaped Execute (the facility absorbs it and still
    // delivers the end event); null when the body returned normally. Read it in
    // OnTerminate or later.
    std::exception_ptr FatalException() const { return fatalException_; }
    bool Started() const { return started_; }

  protected:
    // The thread body; runs once, on the new thread.
    virtual void Execute() = 0;

  private:
    void ThreadMain();
    void DeliverEnd();  // on the window's thread

    EndEventDispatcher* dispatcher_;
    std::mutex startGate_;
    std::thread thread_;
    std::exception_ptr fatalException_;
    bool started_ = false;
};

}  // namespace zorbel
