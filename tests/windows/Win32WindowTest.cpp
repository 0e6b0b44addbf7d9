// The native window under a real (or Wine's) window manager: the form read
// back through Win32 calls, the contract's list, bar, timer and close rules,
// every message dialog answered with real keys, and end events delivered in a
// dialog's nested loop.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/ZorbelMain.h"
#include "app/win32/Win32Toolkit.h"
#include "device/MessagePump.h"
#include "device/ShutdownInhibit.h"
#include "device/StopSignals.h"
#include "device/host_windows.h"
#include "tests/app/AppFixture.h"

namespace zorbel::win32 {
namespace {

struct CountingForm final : FormEvents {
    int changes = 0, updates = 0, closes = 0, ticks = 0, destroys = 0;
    void cboDrivesChange() override { ++changes; }
    void cmdUpdateClick() override { ++updates; }
    void cmdCloseClick() override { ++closes; }
    void tmrTimer() override { ++ticks; }
    void FormDestroy() override { ++destroys; }
};

std::wstring windowText(HWND window) {
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return buffer;
}

RECT clientRect(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The text colour the window gives a label when it paints.
COLORREF paintedColour(Win32Toolkit& toolkit, Control control) {
    HDC dc = CreateCompatibleDC(nullptr);
    SendMessageW(toolkit.window().handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(toolkit.window().control(control)));
    const COLORREF colour = GetTextColor(dc);
    DeleteDC(dc);
    return colour;
}

void pump(Win32Toolkit& toolkit, int milliseconds) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
    while (GetTickCount() < end) {
        toolkit.processPendingMessages();
        Sleep(5);
    }
}

class Win32WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { toolkit.attachForm(&form); }
    void TearDown() override { toolkit.attachForm(nullptr); }
    CountingForm form;
    Win32Toolkit toolkit;
};

TEST_F(Win32WindowTest, EveryControlAtItsDesignPlaceWithItsFontTextAndColour) {
    HWND window = toolkit.window().handle();
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 452);
    EXPECT_EQ(client.bottom, 140);
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_THICKFRAME);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    RECT outer{}, work{};
    GetWindowRect(window, &outer);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_LE(std::abs((outer.left + outer.right) - (work.left + work.right)), 1);
    EXPECT_LE(std::abs((outer.top + outer.bottom) - (work.top + work.bottom)), 1);

    for (const ControlDesign& design : formDesign()) {
        SCOPED_TRACE(std::string(narrow(design.name)));
        HWND control = toolkit.window().control(design.control);
        const RECT rect = clientRect(control);
        EXPECT_EQ(rect.left, design.rect.left);
        EXPECT_EQ(rect.top, design.rect.top);
        // Labels widen for a wider fallback font; nothing else moves or grows.
        if (toolkit.window().isLabel(design.control)) {
            EXPECT_GE(rect.right - rect.left, design.rect.right);
            EXPECT_EQ(rect.bottom - rect.top, design.rect.bottom);
        } else {
            EXPECT_EQ(rect.right - rect.left, design.rect.right);
            EXPECT_EQ(rect.bottom - rect.top, design.rect.bottom);
        }
        EXPECT_EQ(windowText(control), std::wstring(design.text));
        if (design.control == Control::Bevel1 || design.control == Control::pbar) {
            continue;
        }
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font,
                   &font);
        EXPECT_EQ(font.lfHeight, -design.fontPixels);
        EXPECT_EQ(font.lfWeight >= FW_BOLD, design.bold);
        const std::vector<std::wstring> families = fontFamiliesFor(design.fontFamily);
        EXPECT_NE(std::find(families.begin(), families.end(), font.lfFaceName), families.end())
            << narrow(font.lfFaceName);
        if (toolkit.window().isLabel(design.control)) {
            EXPECT_EQ(paintedColour(toolkit, design.control), design.colour);
        }
    }
    toolkit.setFontColour(Control::lblMsg, FontColour::Maroon);
    EXPECT_EQ(paintedColour(toolkit, Control::lblMsg), RGB(128, 0, 0));
    EXPECT_EQ(toolkit.fontColour(Control::lblMsg), FontColour::Maroon);

    // Tab order: cboDrives, pbar, cmdUpdate, cmdClose, and round again.
    const Control order[] = {Control::cboDrives, Control::pbar, Control::cmdUpdate,
                             Control::cmdClose, Control::cboDrives};
    for (int i = 0; i + 1 < 5; ++i) {
        EXPECT_EQ(GetNextDlgTabItem(window, toolkit.window().control(order[i]), FALSE),
                  toolkit.window().control(order[i + 1]));
    }
}

TEST_F(Win32WindowTest, ListBarTimerAndCloseKeepTheContract) {
    toolkit.addListLine(" 0-0-1-0 D:   MAKER   DRIVE    1.00");
    toolkit.addListLine(" 0-0-2-0 E:   MAKER   DRIVE    2.00");
    EXPECT_EQ(toolkit.selectedListLine(), NoLine);
    toolkit.selectListLine(1);
    toolkit.selectListLine(7);  // outside: no line
    EXPECT_EQ(toolkit.selectedListLine(), NoLine);
    toolkit.selectListLine(0);
    EXPECT_EQ(form.changes, 0);  // selections from code run no change event
    // The user's choice with the keys does.
    HWND list = toolkit.window().control(Control::cboDrives);
    SendMessageW(list, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(toolkit.selectedListLine(), 1);
    EXPECT_EQ(form.changes, 1);
    EXPECT_EQ(toolkit.listLine(1), " 0-0-2-0 E:   MAKER   DRIVE    2.00");

    toolkit.setProgressRange(0, 10);
    toolkit.setProgressStep(4);
    toolkit.progressStepIt();
    toolkit.progressStepIt();
    toolkit.progressStepIt();
    EXPECT_EQ(toolkit.progressPosition(), 10);  // stops at the maximum, no wrap
    EXPECT_EQ(toolkit.progressMaximum(), 10);

    toolkit.setTimerEnabled(true);
    pump(toolkit, 450);
    EXPECT_GE(form.ticks, 2);
    EXPECT_LE(form.ticks, 6);
    toolkit.setTimerEnabled(false);
    const int ticks = form.ticks;
    pump(toolkit, 250);
    EXPECT_EQ(form.ticks, ticks);

    toolkit.pressButton(Control::cmdUpdate);
    EXPECT_EQ(form.updates, 1);
    toolkit.setEnabled(Control::cmdUpdate, false);
    toolkit.pressButton(Control::cmdUpdate);
    EXPECT_EQ(form.updates, 1);

    // Once Close is out of the system menu, the title bar cannot end the program.
    HWND window = toolkit.window().handle();
    toolkit.removeSystemMenuClose();
    HMENU menu = GetSystemMenu(window, FALSE);
    EXPECT_EQ(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
    const int items = GetMenuItemCount(menu);
    EXPECT_FALSE(GetMenuState(menu, static_cast<UINT>(items - 1), MF_BYPOSITION) & MF_SEPARATOR);
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(toolkit.terminateRequested());
    EXPECT_EQ(form.closes, 0);
    toolkit.pressButton(Control::cmdClose);
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(form.closes, 1);
}

// The session may end before and after an update, never while one runs.
TEST_F(Win32WindowTest, SessionEndIsRefusedOnlyWhileAnUpdateRuns) {
    HWND window = toolkit.window().handle();
    EXPECT_NE(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), FALSE);
    {
        const ShutdownInhibit update;
        EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), FALSE);
    }
    EXPECT_NE(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), FALSE);
}

// The hidden window of a run: the power messages and the session's end as
// the system sends them to top-level windows.
TEST(RunGuardWindow, SuspendRefusedOrStopsTheRunAndTheSessionEndRefused) {
    for (const bool console : {true, false}) {
        SCOPED_TRACE(console ? "console program" : "window program");
        StopSignals::reset();
        winhost::WindowsHost host;
        host.setConsoleProgram(console);
        host.inhibitShutdown();
        const HWND guard = host.guardWindow();
        ASSERT_NE(guard, nullptr);
        EXPECT_EQ(GetAncestor(guard, GA_PARENT), GetDesktopWindow()) << "top-level";
        EXPECT_FALSE(IsWindowVisible(guard));
        EXPECT_EQ(SendMessageW(guard, WM_QUERYENDSESSION, 0, 0), console ? FALSE : TRUE);
        EXPECT_EQ(SendMessageW(guard, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 1),
                  BROADCAST_QUERY_DENY);
        EXPECT_FALSE(StopSignals::stopRequested());
        // A resume with no suspend announced (XP's critical suspend, a
        // notebook's lid): the run stops before any commit.
        SendMessageW(guard, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
        EXPECT_EQ(StopSignals::stopSignal(), StopSignals::SystemSleep);
        StopSignals::reset();
        SendMessageW(guard, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
        EXPECT_EQ(StopSignals::stopSignal(), StopSignals::SystemSleep);
        StopSignals::reset();

        host.releaseShutdownInhibit();
        EXPECT_EQ(SendMessageW(guard, WM_QUERYENDSESSION, 0, 0), TRUE);
        EXPECT_EQ(SendMessageW(guard, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 1), TRUE);
        SendMessageW(guard, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
        EXPECT_FALSE(StopSignals::stopRequested()) << "outside an update a sleep stops nothing";
    }
}

struct DialogCase {
    DialogKind kind;
    const wchar_t* caption;
    std::vector<int> buttons;  // ids, the default first
    std::vector<const wchar_t*> texts;
    DialogAnswer onEscape;
    DialogAnswer onEnter;
};

TEST_F(Win32WindowTest, MessageDialogsCaptionsButtonsDefaultsAndEscape) {
    const DialogCase cases[] = {
        {DialogKind::Error, L"Error", {IDOK}, {L"OK"}, DialogAnswer::Ok, DialogAnswer::Ok},
        {DialogKind::Warning, L"Warning", {IDOK}, {L"OK"}, DialogAnswer::Ok, DialogAnswer::Ok},
        {DialogKind::Information,
         L"Information",
         {IDOK},
         {L"OK"},
         DialogAnswer::Ok,
         DialogAnswer::Ok},
        {DialogKind::WarningQuestion,
         L"Warning",
         {IDYES, IDNO},
         {L"&Yes", L"&No"},
         DialogAnswer::No,
         DialogAnswer::Yes},
    };
    for (const DialogCase& c : cases) {
        for (const UINT key : {VK_ESCAPE, VK_RETURN}) {
            SCOPED_TRACE(narrow(c.caption) + (key == VK_ESCAPE ? " Escape" : " Enter"));
            int seen = 0;
            toolkit.setDialogObserver([&](HWND dialog, DialogKind kind) {
                ++seen;
                EXPECT_EQ(kind, c.kind);
                EXPECT_EQ(windowText(dialog), c.caption);
                EXPECT_EQ(GetWindow(dialog, GW_OWNER), toolkit.window().handle());
                EXPECT_FALSE(IsWindowEnabled(toolkit.window().handle()));  // modal
                for (std::size_t b = 0; b < c.buttons.size(); ++b) {
                    EXPECT_EQ(windowText(GetDlgItem(dialog, c.buttons[b])), c.texts[b]);
                }
                EXPECT_EQ(LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0)), c.buttons[0]);
                EXPECT_EQ(GetFocus(), GetDlgItem(dialog, c.buttons[0]));
                RECT outer{}, work{};
                GetWindowRect(dialog, &outer);
                SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
                EXPECT_LE(std::abs((outer.left + outer.right) - (work.left + work.right)), 1);
                EXPECT_LE(std::abs((outer.top + outer.bottom) - (work.top + work.bottom)), 1);
                PostMessageW(GetFocus(), WM_KEYDOWN, key, 0);
            });
            const DialogAnswer answer = toolkit.messageDialog(c.kind, "A line of text.");
            EXPECT_EQ(seen, 1);
            EXPECT_EQ(answer, key == VK_ESCAPE ? c.onEscape : c.onEnter);
            EXPECT_TRUE(IsWindowEnabled(toolkit.window().handle()));
        }
    }
}

TEST_F(Win32WindowTest, EndEventsFromWorkersRunOnceOnTheWindowThreadDuringADialog) {
    const DWORD windowThread = GetCurrentThreadId();
    int ran = 0;
    DWORD ranOn = 0;
    toolkit.setDialogObserver([&](HWND dialog, DialogKind) {
        std::thread worker([&] {
            toolkit.endEventDispatcher().post([&] {
                ++ran;
                ranOn = GetCurrentThreadId();
            });
        });
        worker.join();
        PostMessageW(GetDlgItem(dialog, IDOK), WM_KEYDOWN, VK_RETURN, 0);
    });
    toolkit.messageDialog(DialogKind::Information, "Done.");
    EXPECT_EQ(ran, 1);  // in the dialog's own loop
    EXPECT_EQ(ranOn, windowThread);
    pump(toolkit, 50);
    EXPECT_EQ(ran, 1);
}

// A drive of the update hangs in the disc check (one command that runs to
// the simulator's longest): another program's message to the window is
// answered within a second all along, and Close stays out of reach.
TEST(Win32WindowWait, MessagesAreAnsweredWhileTheDiscCheckWaits) {
    testing::BlockBytes package = testing::makePackage();
    package.option(block::Option::CHKDISC, testing::optionText(block::Option::CHKDISC, '1'));
    ScopedPackageOverride packageScope(package.bytes());
    SetStandInProfilesAccepted(true);
    sim::ComputerSpec computer;
    computer.clock = sim::ClockMode::RealTime;
    sim::DriveSpec& spec = computer.addDrive("d1");
    spec.identity = sim::Identity::fromText(testing::TestVendor, "DVR-1", testing::OldRevision);
    spec.newRevision = sim::padded<4>(testing::NewRevision);
    spec.imageSize = static_cast<std::uint32_t>(testing::TestImageSize);
    spec.medium = false;
    computer.addLetter('E', "d1");
    sim::InstalledComputer installed(computer);

    Win32Toolkit toolkit;
    toolkit.setDialogObserver(
        [](HWND, DialogKind) { PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 0); });
    setWindowMessagePump([&toolkit] { toolkit.processPendingMessages(); });
    {
        TZorbelMain window(toolkit);
        sim::FaultRule hang;
        hang.kind = sim::FaultKind::Timeout;
        hang.opcode = 0x00;
        hang.times = 1;
        installed->findDrive("d1")->addFault(hang);

        HWND handle = toolkit.window().handle();
        std::atomic<bool> checking{true};
        DWORD longest = 0;
        int answered = 0;
        bool closeEnabled = true;
        std::thread other([&] {
            while (checking) {
                const DWORD sent = GetTickCount();
                DWORD_PTR result = 0;
                if (SendMessageTimeoutW(handle, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) != 0) {
                    longest = std::max(longest, GetTickCount() - sent);
                    ++answered;
                    closeEnabled = IsWindowEnabled(toolkit.window().control(Control::cmdClose));
                    SendMessageW(toolkit.window().control(Control::cmdClose), BM_CLICK, 0, 0);
                }
                Sleep(50);
            }
        });
        const DWORD started = GetTickCount();
        window.cmdUpdateClick();
        const DWORD checked = GetTickCount() - started;
        checking = false;
        other.join();

        EXPECT_GE(checked, 1500u);  // the hung command held the check this long
        EXPECT_GE(answered, 5);
        EXPECT_LT(longest, 1000u);
        EXPECT_FALSE(closeEnabled);
        EXPECT_FALSE(toolkit.terminateRequested());
        for (int i = 0; i < 600 && window.UpdateInProgress(); ++i) {
            pump(toolkit, 20);
        }
        EXPECT_EQ(window.ExitStatus(), ExitNothingFailed);
        EXPECT_EQ(installed->findDrive("d1")->commits().size(), 1u);
    }
    clearWindowMessagePump();
}

}  // namespace
}  // namespace zorbel::win32
