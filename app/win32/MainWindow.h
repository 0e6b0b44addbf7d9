// The update window's form on Win32: every control at its design position and
// size (client pixels at 96 dots per inch), with its font, colour, text and
// tab order. The form holds no logic; the toolkit's window procedure binds
// the controls' events to the window's handlers.
#pragma once

#include <windows.h>
// (needs windows.h before it)
#include <commctrl.h>

#include <array>
#include <string>
#include <vector>

#include "app/Toolkit.h"

namespace zorbel::win32 {

inline constexpr COLORREF ColourBlack = RGB(0, 0, 0);
inline constexpr COLORREF ColourMaroon = RGB(128, 0, 0);
inline constexpr COLORREF ColourNavy = RGB(0, 0, 128);

// Client size of the window; the frame and title bar come on top of it.
inline constexpr SIZE FormClientSize{452, 140};
inline constexpr int ControlCount = 11;

// A control's design rectangle (client coordinates) and font.
struct ControlDesign {
    Control control;
    const wchar_t* name;
    RECT rect;  // left, top, width, height
    const wchar_t* text;
    const wchar_t* fontFamily;
    int fontPixels;
    bool bold;
    COLORREF colour;
};
const std::array<ControlDesign, ControlCount>& formDesign();

// Font families in order of preference: the design family first, then
// families of the same metrics or look that Windows (or Wine) carries.
std::vector<std::wstring> fontFamiliesFor(const std::wstring& designFamily);

// Command identifiers of the controls (their child-window ids).
constexpr int controlId(Control control) {
    return 100 + static_cast<int>(control);
}

class MainWindow {
  public:
    MainWindow() = default;
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Registers the class, creates the (hidden) window centred on the screen
    // and its controls. `procedure` gets `parameter` as creation data.
    void create(WNDPROC procedure, void* parameter);
    void destroy();

    HWND handle() const { return window_; }
    HWND control(Control control) const { return controls_[static_cast<int>(control)]; }
    bool isLabel(Control control) const;
    COLORREF colour(Control control) const { return colours_[static_cast<int>(control)]; }
    void setColour(Control control, COLORREF colour);
    // The face name of the font a control was given.
    std::wstring fontFace(Control control) const;
    // Sets a label's text; the label keeps its left and top and widens when
    // the text needs more room than its design width.
    void setLabelText(Control control, const std::wstring& text);
    // Background brush of the form and its labels (button face).
    HBRUSH background() const { return GetSysColorBrush(COLOR_BTNFACE); }

  private:
    HFONT fontFor(const ControlDesign& design);

    HWND window_ = nullptr;
    std::array<HWND, ControlCount> controls_{};
    std::array<COLORREF, ControlCount> colours_{};
    std::vector<HFONT> fonts_;
    HIMAGELIST updateImages_ = nullptr;
    HIMAGELIST closeImages_ = nullptr;
};

}  // namespace zorbel::win32
