// Holds off shutdown, restart and sleep for as long as it lives: the update
// sequence keeps one from its first command to its completion. Through the
// current host (a login manager's inhibitor lock, the Windows session's end
// refused); where the system cannot be asked the host says so once and the
// update goes on.
#pragma once

#include <functional>

namespace zorbel {

class ShutdownInhibit {
  public:
    ShutdownInhibit();
    ~ShutdownInhibit();
    ShutdownInhibit(const ShutdownInhibit&) = delete;
    ShutdownInhibit& operator=(const ShutdownInhibit&) = delete;

    // True while any ShutdownInhibit lives: a window asked whether the session
    // may end answers no meanwhile.
    static bool active();
    // Called on the window's thread when the first inhibit begins (true) and
    // the last one ends (false): a window that must tell the session why it
    // may not end yet. Null: none.
    static void setListener(std::function<void(bool active)> listener);
};

}  // namespace zorbel
