#include "app/win32/Win32Toolkit.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

#include "app/win32/MessageDialog.h"
#include "device/ShutdownInhibit.h"

namespace zorbel::win32 {

namespace {

// One end event waits in the dispatcher's queue for each of these.
constexpr UINT EndEventMessage = WM_APP + 1;
constexpr UINT_PTR TimerId = 1;
constexpr UINT TimerInterval = 100;  // milliseconds
// Messages processPendingMessages handles at most in one call, so that a
// steady stream of them cannot keep the caller from going on.
constexpr int PendingLimit = 1000;

}  // namespace

std::wstring widen(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::wstring widenMessage(std::string_view text) {
    // The system's own texts (error descriptions) arrive as UTF-8; anything
    // that is not valid UTF-8 is taken byte for byte, as the package's texts.
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) {
        return widen(text);
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), size);
    return wide;
}

std::string narrow(std::wstring_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (wchar_t c : text) {
        bytes.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    }
    return bytes;
}

void Win32EndEventDispatcher::post(std::function<void()> event) {
    HWND window = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        window = window_;
    }
    // The queue's lock orders the worker's writes before the event runs.
    PostMessageW(window, EndEventMessage, 0, 0);
}

std::function<void()> Win32EndEventDispatcher::take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (events_.empty()) {
        return {};
    }
    std::function<void()> event = std::move(events_.front());
    events_.pop_front();
    return event;
}

Win32Toolkit::Win32Toolkit() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
    window_.create(windowProcedure, this);
    dispatcher_.setWindow(window_.handle());
    ShutdownInhibit::setListener([this](bool active) { showSessionEndReason(active); });
}

Win32Toolkit::~Win32Toolkit() {
    ShutdownInhibit::setListener(nullptr);
    showSessionEndReason(false);
    if (timerEnabled_) {
        KillTimer(window_.handle(), TimerId);
    }
    dispatcher_.setWindow(nullptr);
    window_.destroy();
}

LRESULT CALLBACK Win32Toolkit::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* toolkit = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (toolkit == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return toolkit->handle(window, message, wParam, lParam);
}

LRESULT Win32Toolkit::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            const int code = HIWORD(wParam);
            if (id == controlId(Control::cboDrives)) {
                // Only the user's choice: a line taken from the open list, or
                // the selection moved with the keys while the list is closed.
                // Selections set from code send neither.
                if (code == CBN_DROPDOWN) {
                    listDropped_ = true;
                } else if (code == CBN_CLOSEUP) {
                    listDropped_ = false;
                } else if ((code == CBN_SELENDOK && listDropped_) ||
                           (code == CBN_SELCHANGE && !listDropped_)) {
                    if (events_ != nullptr) {
                        events_->cboDrivesChange();
                    }
                }
                return 0;
            }
            // A click that reaches a disabled button (a message sent to it
            // directly) is no press.
            if (code == BN_CLICKED && lParam != 0 &&
                !IsWindowEnabled(reinterpret_cast<HWND>(lParam))) {
                return 0;
            }
            if (id == controlId(Control::cmdUpdate) && code == BN_CLICKED) {
                if (events_ != nullptr) {
                    events_->cmdUpdateClick();
                }
                return 0;
            }
            if (id == controlId(Control::cmdClose) && code == BN_CLICKED) {
                // The stock close button: its handler, then the window closes.
                if (events_ != nullptr) {
                    events_->cmdCloseClick();
                }
                terminate();
                return 0;
            }
            break;
        }
        case WM_TIMER:
            if (wParam == TimerId && timerEnabled_ && events_ != nullptr) {
                events_->tmrTimer();
            }
            return 0;
        case EndEventMessage:
            if (std::function<void()> event = dispatcher_.take()) {
                event();
            }
            return 0;
        case WM_CTLCOLORSTATIC: {
            auto* dc = reinterpret_cast<HDC>(wParam);
            const auto* control = reinterpret_cast<HWND>(lParam);
            for (int i = 0; i < ControlCount; ++i) {
                if (window_.control(static_cast<Control>(i)) == control) {
                    SetTextColor(dc, window_.colour(static_cast<Control>(i)));
                }
            }
            SetBkMode(dc, TRANSPARENT);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(window_.background());
        }
        case WM_GETMINMAXINFO: {
            // The border is sizeable, but never below the form's own size.
            auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
            RECT outer{0, 0, FormClientSize.cx, FormClientSize.cy};
            AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)),
                               FALSE, 0);
            limits->ptMinTrackSize = POINT{outer.right - outer.left, outer.bottom - outer.top};
            return 0;
        }
        case WM_QUERYENDSESSION:
            // Shutdown, restart or log-off asked while an update runs: refused,
            // with the reason the session shows (where it can show one).
            if (ShutdownInhibit::active()) {
                showSessionEndReason(true);
                return FALSE;
            }
            break;
        case WM_CLOSE:
            // From the title bar or Alt+F4: refused once Close is taken out of
            // the system menu, else the program ends as through cmdClose.
            if (!closeRemoved_ && !terminateRequested_) {
                userClosing();
            }
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void Win32Toolkit::showSessionEndReason(bool shown) {
    // The reason functions exist from Windows Vista on: looked up, never imported.
    using ReasonCreate = BOOL(WINAPI*)(HWND, LPCWSTR);
    using ReasonDestroy = BOOL(WINAPI*)(HWND);
    HMODULE user = GetModuleHandleW(L"user32.dll");
    if (user == nullptr || window_.handle() == nullptr) {
        return;
    }
    if (shown) {
        const auto create = reinterpret_cast<ReasonCreate>(
            reinterpret_cast<void*>(GetProcAddress(user, "ShutdownBlockReasonCreate")));
        if (create != nullptr) {
            create(window_.handle(),
                   L"The firmware of an optical drive is being updated. "
                   L"Turning the computer off now can ruin the drive.");
        }
    } else {
        const auto destroy = reinterpret_cast<ReasonDestroy>(
            reinterpret_cast<void*>(GetProcAddress(user, "ShutdownBlockReasonDestroy")));
        if (destroy != nullptr) {
            destroy(window_.handle());
        }
    }
}

void Win32Toolkit::userClosing() {
    if (events_ != nullptr) {
        events_->cmdCloseClick();
    }
    terminate();
}

void Win32Toolkit::dispatch(MSG& message) {
    if (!IsDialogMessageW(window_.handle(), &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Win32Toolkit::runMessageLoop() {
    if (terminateRequested_) {
        return;
    }
    HWND window = window_.handle();
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    SetFocus(window_.control(Control::cboDrives));
    if (loopStarted_) {
        loopStarted_();
    }
    MSG message{};
    while (!terminateRequested_) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;  // WM_QUIT, or no queue left to read
        }
        dispatch(message);
        if (idle_) {
            idle_();
        }
    }
    ShowWindow(window, SW_HIDE);
}

void Win32Toolkit::terminate() {
    terminateRequested_ = true;
    // Wakes a loop waiting for its next message; it then ends at that turn.
    PostMessageW(window_.handle(), WM_NULL, 0, 0);
}

void Win32Toolkit::processPendingMessages() {
    MSG message{};
    for (int i = 0; i < PendingLimit && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        dispatch(message);
    }
}

void Win32Toolkit::showException(std::string_view message) {
    const std::wstring text = widen(message);
    const std::wstring title = widen(caption());
    MessageBoxW(window_.handle(), text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

void Win32Toolkit::setCaption(std::string_view caption) {
    SetWindowTextW(window_.handle(), widen(caption).c_str());
}

std::string Win32Toolkit::caption() const {
    wchar_t buffer[512];
    const int length = GetWindowTextW(window_.handle(), buffer, 512);
    return narrow(std::wstring_view(buffer, static_cast<std::size_t>(std::max(length, 0))));
}

void Win32Toolkit::removeSystemMenuClose() {
    closeRemoved_ = true;
    HMENU menu = GetSystemMenu(window_.handle(), FALSE);
    if (menu == nullptr) {
        return;
    }
    // Close and the separator before it, found by what they are rather than
    // where they stand, so a system menu with other items loses nothing else.
    const int count = GetMenuItemCount(menu);
    for (int position = count - 1; position >= 0; --position) {
        if (GetMenuItemID(menu, position) != SC_CLOSE) {
            continue;
        }
        DeleteMenu(menu, static_cast<UINT>(position), MF_BYPOSITION);
        if (position > 0 &&
            (GetMenuState(menu, static_cast<UINT>(position - 1), MF_BYPOSITION) & MF_SEPARATOR)) {
            DeleteMenu(menu, static_cast<UINT>(position - 1), MF_BYPOSITION);
        }
        break;
    }
    DrawMenuBar(window_.handle());
}

void Win32Toolkit::setText(Control control, std::string_view text) {
    if (window_.isLabel(control)) {
        window_.setLabelText(control, widen(text));
    } else if (control == Control::cmdUpdate || control == Control::cmdClose) {
        SetWindowTextW(window_.control(control), widen(text).c_str());
    }
}

std::string Win32Toolkit::text(Control control) const {
    if (!window_.isLabel(control) && control != Control::cmdUpdate &&
        control != Control::cmdClose) {
        return {};
    }
    HWND handle = window_.control(control);
    std::wstring buffer(static_cast<std::size_t>(GetWindowTextLengthW(handle)) + 1, L'\0');
    const int length = GetWindowTextW(handle, buffer.data(), static_cast<int>(buffer.size()));
    buffer.resize(static_cast<std::size_t>(std::max(length, 0)));
    return narrow(buffer);
}

void Win32Toolkit::setVisible(Control control, bool visible) {
    ShowWindow(window_.control(control), visible ? SW_SHOWNA : SW_HIDE);
}

// Visible as the control's own style, whether or not the window is shown yet.
bool Win32Toolkit::visible(Control control) const {
    return (GetWindowLongPtrW(window_.control(control), GWL_STYLE) & WS_VISIBLE) != 0;
}

void Win32Toolkit::setEnabled(Control control, bool enabled) {
    HWND handle = window_.control(control);
    if (!enabled && GetFocus() == handle) {
        // Focus moves on rather than staying on a control that takes no input.
        SendMessageW(window_.handle(), WM_NEXTDLGCTL, 0, FALSE);
    }
    EnableWindow(handle, enabled ? TRUE : FALSE);
}

bool Win32Toolkit::enabled(Control control) const {
    return IsWindowEnabled(window_.control(control)) != FALSE;
}

void Win32Toolkit::setFontColour(Control control, FontColour colour) {
    if (!window_.isLabel(control)) {
        return;
    }
    switch (colour) {
        case FontColour::Black:
            window_.setColour(control, ColourBlack);
            break;
        case FontColour::Maroon:
            window_.setColour(control, ColourMaroon);
            break;
        case FontColour::Navy:
            window_.setColour(control, ColourNavy);
            break;
    }
}

FontColour Win32Toolkit::fontColour(Control control) const {
    const COLORREF colour = window_.colour(control);
    if (colour == ColourMaroon) {
        return FontColour::Maroon;
    }
    if (colour == ColourNavy) {
        return FontColour::Navy;
    }
    return FontColour::Black;
}

void Win32Toolkit::clearList() {
    SendMessageW(window_.control(Control::cboDrives), CB_RESETCONTENT, 0, 0);
}

void Win32Toolkit::addListLine(std::string_view line) {
    const std::wstring wide = widen(line);
    SendMessageW(window_.control(Control::cboDrives), CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(wide.c_str()));
}

int Win32Toolkit::listCount() const {
    return static_cast<int>(SendMessageW(window_.control(Control::cboDrives), CB_GETCOUNT, 0, 0));
}

std::string Win32Toolkit::listLine(int index) const {
    HWND list = window_.control(Control::cboDrives);
    if (index < 0 || index >= listCount()) {
        return {};
    }
    const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) {
        return {};
    }
    std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(buffer.data()));
    buffer.resize(static_cast<std::size_t>(length));
    return narrow(buffer);
}

void Win32Toolkit::selectListLine(int index) {
    const int line = index >= 0 && index < listCount() ? index : -1;
    SendMessageW(window_.control(Control::cboDrives), CB_SETCURSEL, static_cast<WPARAM>(line), 0);
}

int Win32Toolkit::selectedListLine() const {
    const LRESULT line = SendMessageW(window_.control(Control::cboDrives), CB_GETCURSEL, 0, 0);
    return line == CB_ERR ? NoLine : static_cast<int>(line);
}

void Win32Toolkit::setProgressRange(int minimum, int maximum) {
    SendMessageW(window_.control(Control::pbar), PBM_SETRANGE32, static_cast<WPARAM>(minimum),
                 static_cast<LPARAM>(maximum));
}

int Win32Toolkit::progressMaximum() const {
    return static_cast<int>(SendMessageW(window_.control(Control::pbar), PBM_GETRANGE, FALSE, 0));
}

void Win32Toolkit::setProgressStep(int step) {
    progressStep_ = step;
}

void Win32Toolkit::progressStepIt() {
    // The bar's own step wraps to the minimum past the maximum; this one stops.
    setProgressPosition(std::min(progressPosition() + progressStep_, progressMaximum()));
}

void Win32Toolkit::setProgressPosition(int position) {
    HWND bar = window_.control(Control::pbar);
    const int minimum = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, TRUE, 0));
    SendMessageW(bar, PBM_SETPOS,
                 static_cast<WPARAM>(std::clamp(position, minimum, progressMaximum())), 0);
}

int Win32Toolkit::progressPosition() const {
    return static_cast<int>(SendMessageW(window_.control(Control::pbar), PBM_GETPOS, 0, 0));
}

void Win32Toolkit::setTimerEnabled(bool enabled) {
    if (enabled && !timerEnabled_) {
        SetTimer(window_.handle(), TimerId, TimerInterval, nullptr);
    } else if (!enabled && timerEnabled_) {
        KillTimer(window_.handle(), TimerId);
    }
    timerEnabled_ = enabled;
}

DialogAnswer Win32Toolkit::messageDialog(DialogKind kind, std::string_view text) {
    MessageDialogRun run;
    run.kind = kind;
    run.text = widen(text);
    if (dialogScript_) {
        run.scripted = dialogScript_(kind, text);
    }
    if (dialogObserver_) {
        run.shown = [this, kind](HWND dialog) { dialogObserver_(dialog, kind); };
    }
    return runMessageDialog(window_.handle(), run);
}

void Win32Toolkit::systemMessageBox(std::string_view text, std::string_view caption) {
    // Answered by a script, the box is not put up: the stock box has no way
    // to be answered from here.
    if (dialogScript_ && dialogScript_(DialogKind::Error, text)) {
        return;
    }
    const std::wstring wideText = widenMessage(text);
    const std::wstring wideCaption = widenMessage(caption);
    MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), MB_OK | MB_ICONERROR);
}

void Win32Toolkit::chooseListLine(int index) {
    selectListLine(index);
    if (events_ != nullptr) {
        events_->cboDrivesChange();
    }
}

void Win32Toolkit::pressButton(Control control) {
    if ((control == Control::cmdUpdate || control == Control::cmdClose) && enabled(control)) {
        SendMessageW(window_.control(control), BM_CLICK, 0, 0);
    }
}

}  // namespace zorbel::win32
