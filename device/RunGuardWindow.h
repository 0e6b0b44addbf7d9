// A hidden top-level window on a thread of its own, for what Windows tells
// only to windows. While an update runs it refuses the end of the session
// (shutdown, restart, log-off; with the reason the session shows, from Vista
// on) when asked to, and the system's suspend where the system still asks (XP
// and earlier; later systems only announce it). A suspend or resume that
// comes anyway stops the run as a termination signal would: the drive has
// lost power and its uploaded profile, and no commit may follow.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace zorbel::winhost {

class RunGuardWindow {
  public:
    // Creates the window and its thread; the window exists when this returns
    // (handle() is null where it could not be created).
    RunGuardWindow();
    ~RunGuardWindow();
    RunGuardWindow(const RunGuardWindow&) = delete;
    RunGuardWindow& operator=(const RunGuardWindow&) = delete;

    // An update begins (true) or ends (false). refuseSessionEnd: this window
    // refuses the session's end meanwhile (a program without a window of its
    // own); else only suspends are refused and watched.
    void setActive(bool active, bool refuseSessionEnd);
    HWND handle() const { return window_; }

    // The reason the session shows beside a refused shutdown.
    static constexpr const wchar_t* SessionEndReason =
        L"The firmware of an optical drive is being updated. "
        L"Turning the computer off now can ruin the drive.";

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void run();

    std::mutex mutex_;
    std::condition_variable created_;
    bool ready_ = false;
    HWND window_ = nullptr;
    // Read and written on the window's thread only.
    bool active_ = false;
    bool refuseSessionEnd_ = false;
    std::thread thread_;
};

}  // namespace zorbel::winhost
