// The window front end of zorbel-sim, on the native Win32 window.
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <vector>

#include "app/ZorbelMain.h"
#include "app/win32/Win32Toolkit.h"
#include "tools/zorbel-sim/Fronts.h"
#include "tools/zorbel-sim/Person.h"

namespace zorbel::simtool {

namespace {

// A keep-alive timer for the pictures' polling, besides the window's own.
constexpr UINT_PTR PollTimerId = 2;

void put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// The window as it shows (frame and title bar included), as a 24-bit BMP
// file. Written whole or not at all.
bool savePicture(HWND window, const std::filesystem::path& file) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT outer{};
    GetWindowRect(window, &outer);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    bool saved = false;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as the file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr && width > 0 && height > 0) {
        HGDIOBJ old = SelectObject(dc, bitmap);
        // The window's pixels as shown (it is in front when a picture is
        // taken); a hidden window is asked to draw itself instead.
        bool copied = false;
        if (IsWindowVisible(window)) {
            HDC windowDc = GetWindowDC(window);
            copied = BitBlt(dc, 0, 0, width, height, windowDc, 0, 0, SRCCOPY) != FALSE;
            ReleaseDC(window, windowDc);
        }
        if (!copied) {
            PrintWindow(window, dc, 0);
        }
        GdiFlush();
        const std::uint32_t stride = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
        const std::uint32_t size = stride * static_cast<std::uint32_t>(height);
        std::vector<std::uint8_t> out;
        out.push_back('B');
        out.push_back('M');
        put32(out, 54 + size);
        put32(out, 0);
        put32(out, 54);
        put32(out, 40);
        put32(out, static_cast<std::uint32_t>(width));
        put32(out, static_cast<std::uint32_t>(height));
        put16(out, 1);
        put16(out, 24);
        put32(out, 0);
        put32(out, size);
        put32(out, 3780);  // 96 dots per inch
        put32(out, 3780);
        put32(out, 0);
        put32(out, 0);
        const auto* pixels = static_cast<const std::uint8_t*>(bits);
        out.insert(out.end(), pixels, pixels + size);
        SelectObject(dc, old);
        const std::filesystem::path partial = file.string() + ".part";
        {
            std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
            stream.write(reinterpret_cast<const char*>(out.data()),
                         static_cast<std::streamsize>(out.size()));
            saved = static_cast<bool>(stream);
        }
        std::error_code failure;
        if (saved) {
            std::filesystem::rename(partial, file, failure);
            saved = !failure;
        }
        if (!saved) {
            std::filesystem::remove(partial, failure);
        }
    }
    if (bitmap != nullptr) {
        DeleteObject(bitmap);
    }
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    std::cerr << (saved ? "wrote " : "could not write ") << file.string() << "\n";
    return saved;
}

std::string slugOf(DialogKind kind) {
    std::string slug;
    for (char c : dialogCaption(kind)) {
        slug += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return slug;
}

}  // namespace

bool windowFrontBuilt() {
    return true;
}

bool windowOpens() {
    return true;  // the desktop is always there
}

int runWindow(sim::SimHost& computer, const FrontSettings& settings, std::string& error) {
    const bool pictures = settings.screenshotDir.has_value();
    if (pictures) {
        std::error_code failure;
        std::filesystem::create_directories(*settings.screenshotDir, failure);
        if (failure) {
            error = "cannot create " + settings.screenshotDir->string() + ": " + failure.message();
            return 2;
        }
    }
    win32::Win32Toolkit window;
    Person person(window, computer, &std::cerr);

    // Scripted answers go to the dialogs in order; once they run out, the
    // person answers (or, while taking pictures, the default button does).
    if (WindowDialogScript script = windowDialogScript(settings, pictures)) {
        window.setDialogScript(std::move(script));
    }

    int dialogNumber = 0;
    bool updating = false;
    if (pictures) {
        const std::filesystem::path folder = *settings.screenshotDir;
        window.setDialogObserver([&dialogNumber, folder](HWND dialog, DialogKind kind) {
            ++dialogNumber;
            savePicture(dialog, folder / ("dialog-" + std::to_string(dialogNumber) + "-" +
                                          slugOf(kind) + ".bmp"));
        });
        window.setLoopStarted([&window, &updating, folder] {
            HWND form = window.window().handle();
            const bool started = picturesUntilUpdate(
                window, [&window] { window.processPendingMessages(); },
                [form, &folder](const std::string& name) {
                    savePicture(form, folder / (name + ".bmp"));
                });
            if (!started) {
                return;
            }
            updating = true;
            SetTimer(form, PollTimerId, 50, nullptr);
        });
        window.setIdle([&window, &updating, folder] {
            if (!updating || window.terminateRequested() || window.timerEnabled() ||
                !window.enabled(Control::cmdClose)) {
                return;
            }
            updating = false;
            KillTimer(window.window().handle(), PollTimerId);
            savePicture(window.window().handle(), folder / "updated.bmp");
            window.pressButton(Control::cmdClose);
        });
    }
    return RunZorbel(person);
}

}  // namespace zorbel::simtool
