#include "device/RunGuardWindow.h"

#include "device/StopSignals.h"

namespace zorbel::winhost {

namespace {

constexpr wchar_t ClassName[] = L"ZorbelRunGuard";
// WPARAM: active; LPARAM: refuse the session's end. Sent from the program's
// thread, handled on the window's.
constexpr UINT SetActiveMessage = WM_APP + 1;

// The reason functions exist from Windows Vista on: looked up, never imported.
void showReason(HWND window, bool shown) {
    HMODULE user = GetModuleHandleW(L"user32.dll");
    if (user == nullptr) {
        return;
    }
    if (shown) {
        using Create = BOOL(WINAPI*)(HWND, LPCWSTR);
        if (const auto create = reinterpret_cast<Create>(
                reinterpret_cast<void*>(GetProcAddress(user, "ShutdownBlockReasonCreate")))) {
            create(window, RunGuardWindow::SessionEndReason);
        }
    } else {
        using Destroy = BOOL(WINAPI*)(HWND);
        if (const auto destroy = reinterpret_cast<Destroy>(
                reinterpret_cast<void*>(GetProcAddress(user, "ShutdownBlockReasonDestroy")))) {
            destroy(window);
        }
    }
}

}  // namespace

RunGuardWindow::RunGuardWindow() : thread_([this] { run(); }) {
    std::unique_lock lock(mutex_);
    created_.wait(lock, [this] { return ready_; });
}

RunGuardWindow::~RunGuardWindow() {
    if (window_ != nullptr) {
        PostMessageW(window_, WM_CLOSE, 0, 0);
    }
    thread_.join();
}

void RunGuardWindow::setActive(bool active, bool refuseSessionEnd) {
    if (window_ != nullptr) {
        SendMessageW(window_, SetActiveMessage, active ? 1 : 0, refuseSessionEnd ? 1 : 0);
    }
}

void RunGuardWindow::run() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = &RunGuardWindow::procedure;
    type.hInstance = instance;
    type.lpszClassName = ClassName;
    RegisterClassExW(&type);  // a second guard finds the class registered
    // Top-level (not message-only): the session's end and the power messages
    // are sent to top-level windows only. Never shown.
    const HWND window = CreateWindowExW(0, ClassName, L"Zorbel", WS_POPUP, 0, 0, 0, 0, nullptr,
                                        nullptr, instance, this);
    {
        std::lock_guard lock(mutex_);
        window_ = window;
        ready_ = true;
    }
    created_.notify_all();
    if (window == nullptr) {
        return;
    }
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK RunGuardWindow::procedure(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<RunGuardWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->window_ != window) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT RunGuardWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case SetActiveMessage:
            if (refuseSessionEnd_ && !(wParam != 0 && lParam != 0)) {
                showReason(window_, false);
            }
            active_ = wParam != 0;
            refuseSessionEnd_ = active_ && lParam != 0;
            if (refuseSessionEnd_) {
                showReason(window_, true);
            }
            return 0;
        case WM_QUERYENDSESSION:
            return refuseSessionEnd_ ? FALSE : TRUE;
        case WM_POWERBROADCAST:
            if (!active_) {
                return TRUE;
            }
            switch (wParam) {
                case PBT_APMQUERYSUSPEND:
                    return BROADCAST_QUERY_DENY;  // asked only up to XP
                case PBT_APMSUSPEND:
                case PBT_APMRESUMECRITICAL:  // a suspend that announced nothing
                case PBT_APMRESUMESUSPEND:
                case PBT_APMRESUMEAUTOMATIC:
                    StopSignals::deliver(StopSignals::SystemSleep);
                    return TRUE;
                default:
                    return TRUE;
            }
        case WM_CLOSE:
            DestroyWindow(window_);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window_, message, wParam, lParam);
    }
}

}  // namespace zorbel::winhost
