// Termination signals (interrupt, terminate, hang-up) and the update.
//
// The platform back end watches for them (Host::watchStopSignals) and hands
// each one to deliver(), on a thread of its own. deliver() records a stop
// request, which the programming procedure reads between blocks and before
// the commit, and then tells the program through the handler it installed:
// outside an update the program ends as Close would; during one it lets no
// new block and no commit go out, waits for its drives as in the completion
// and ends with a failure.
#pragma once

#include <functional>
#include <string>

namespace zorbel {

class StopSignals {
  public:
    // Runs on the back end's thread; must not block.
    using Handler = std::function<void(int signal)>;
    // Not a signal: the system suspended or resumed during an update (the
    // drive lost power, and with it what the run had given it).
    static constexpr int SystemSleep = 0x10000;

    // Asks the current host to watch for the signals and sets the handler
    // (null: none). False when the platform has no such watch.
    static bool watch(Handler handler);
    // Replaces the handler; null removes it. Waits for a running call to end.
    static void setHandler(Handler handler);
    // Records the request, then calls the handler. Also for tests.
    static void deliver(int signal);
    // True once a signal was delivered (until reset).
    static bool stopRequested();
    // The signal of the first request; 0 when none.
    static int stopSignal();
    // "SIGTERM" for the signal's number; "signal N" for one without a name.
    static std::string name(int signal);
    // Forgets the request (tests, and a program that starts anew).
    static void reset();
};

}  // namespace zorbel
