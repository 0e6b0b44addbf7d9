#include "app/win32/MainWindow.h"

#include <commctrl.h>

#include <algorithm>

namespace zorbel::win32 {

namespace {

constexpr wchar_t WindowClassName[] = L"ZorbelMain";
// Height of the drop-down part of cboDrives below its selection field.
constexpr int DropDownLines = 8;
constexpr int ListItemHeight = 16;
// The selection field inside its 3-pixel edges: 24 pixels in all.
constexpr int FieldHeight = 18;

int CALLBACK noteFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool familyInstalled(HDC dc, const std::wstring& family) {
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(query.lfFaceName, family.c_str(), LF_FACESIZE);
    bool found = false;
    EnumFontFamiliesExW(dc, &query, noteFamily, reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

// Draws one 16 by 16 image into a fresh bitmap, magenta where it is clear.
template <typename Draw>
HBITMAP drawImage(HDC screen, Draw draw) {
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 16, 16);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all{0, 0, 16, 16};
    HBRUSH clear = CreateSolidBrush(RGB(255, 0, 255));
    FillRect(dc, &all, clear);
    DeleteObject(clear);
    draw(dc);
    SelectObject(dc, old);
    DeleteDC(dc);
    return bitmap;
}

void fill(HDC dc, int left, int top, int width, int height, COLORREF colour) {
    RECT rect{left, top, left + width, top + height};
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

// A chip with an arrow pointing into it: the update image; the disabled
// variant is the same drawing in greys.
void drawUpdate(HDC dc, bool enabled) {
    const COLORREF chip = enabled ? RGB(40, 40, 40) : RGB(160, 160, 160);
    const COLORREF pins = enabled ? RGB(150, 150, 150) : RGB(200, 200, 200);
    const COLORREF arrow = enabled ? RGB(0, 140, 0) : RGB(128, 128, 128);
    const COLORREF edge = enabled ? RGB(0, 80, 0) : RGB(110, 110, 110);
    fill(dc, 4, 9, 8, 6, chip);
    for (int x = 5; x <= 10; x += 2) {
        fill(dc, x, 8, 1, 1, pins);
        fill(dc, x, 15, 1, 1, pins);
    }
    const POINT shape[] = {{6, 0}, {10, 0}, {10, 4}, {13, 4}, {8, 9}, {3, 4}, {6, 4}};
    HBRUSH brush = CreateSolidBrush(arrow);
    HPEN pen = CreatePen(PS_SOLID, 1, edge);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    Polygon(dc, shape, 7);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(brush);
    DeleteObject(pen);
}

// The stock close image: a red cross.
void drawClose(HDC dc, bool enabled) {
    HPEN pen = CreatePen(PS_SOLID, 2, enabled ? RGB(192, 0, 0) : RGB(150, 150, 150));
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, 4, 4, nullptr);
    LineTo(dc, 12, 12);
    MoveToEx(dc, 11, 4, nullptr);
    LineTo(dc, 3, 12);
    SelectObject(dc, old);
    DeleteObject(pen);
}

// The six images a button takes (normal, hot, pressed, disabled, defaulted,
// stylus hot): the normal drawing everywhere but the disabled state.
template <typename Draw>
HIMAGELIST buttonImages(Draw draw) {
    HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 6, 0);
    HDC screen = GetDC(nullptr);
    HBITMAP normal = drawImage(screen, [&](HDC dc) { draw(dc, true); });
    HBITMAP disabled = drawImage(screen, [&](HDC dc) { draw(dc, false); });
    ReleaseDC(nullptr, screen);
    for (int state = 1; state <= 6; ++state) {
        ImageList_AddMasked(list, state == 4 ? disabled : normal, RGB(255, 0, 255));
    }
    DeleteObject(normal);
    DeleteObject(disabled);
    return list;
}

void setButtonImages(HWND button, HIMAGELIST images) {
    BUTTON_IMAGELIST setting{};
    setting.himl = images;
    setting.margin = RECT{2, 0, 0, 0};
    setting.uAlign = BUTTON_IMAGELIST_ALIGN_LEFT;
    SendMessageW(button, BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&setting));
}

}  // namespace

const std::array<ControlDesign, ControlCount>& formDesign() {
    static const std::array<ControlDesign, ControlCount> design{{
        {Control::Label1,
         L"Label1",
         {12, 4, 128, 14},
         L"Please select target drive :",
         L"Arial",
         11,
         false,
         ColourBlack},
        {Control::cboDrives,
         L"cboDrives",
         {8, 24, 353, 24},
         L"",
         L"Courier New",
         13,
         false,
         ColourBlack},
        {Control::cmdUpdate,
         L"cmdUpdate",
         {368, 24, 77, 25},
         L"&Update",
         L"Tahoma",
         11,
         true,
         ColourBlack},
        {Control::cmdClose,
         L"cmdClose",
         {368, 52, 77, 25},
         L"&Close",
         L"Tahoma",
         11,
         true,
         ColourBlack},
        {Control::lblUpdateMsg,
         L"lblUpdateMsg",
         {12, 56, 154, 14},
         L"It will be updated from             to",
         L"Arial",
         11,
         false,
         ColourBlack},
        {Control::lblOldFW,
         L"lblOldFW",
         {124, 56, 28, 13},
         L"XXXX",
         L"Tahoma",
         11,
         true,
         ColourNavy},
        {Control::lblNewFW,
         L"lblNewFW",
         {172, 56, 28, 13},
         L"XXXX",
         L"Tahoma",
         11,
         true,
         ColourNavy},
        {Control::Bevel1,
         L"Bevel1",
         {8, 84, 437, 49},
         L"",
         L"MS Sans Serif",
         11,
         false,
         ColourBlack},
        {Control::lblMsg,
         L"lblMsg",
         {16, 92, 56, 13},
         L"Message",
         L"Verdana",
         11,
         true,
         ColourNavy},
        {Control::pbar, L"pbar", {16, 112, 373, 13}, L"", L"MS Sans Serif", 11, false, ColourBlack},
        {Control::lblPercent,
         L"lblPercent",
         {400, 112, 34, 13},
         L"100%",
         L"Tahoma",
         11,
         true,
         ColourNavy},
    }};
    return design;
}

std::vector<std::wstring> fontFamiliesFor(const std::wstring& designFamily) {
    std::vector<std::wstring> families{designFamily};
    if (designFamily == L"Arial") {
        families.insert(families.end(), {L"Liberation Sans", L"Arimo", L"DejaVu Sans"});
    } else if (designFamily == L"Courier New") {
        families.insert(families.end(),
                        {L"Liberation Mono", L"Cousine", L"DejaVu Sans Mono", L"Courier"});
    } else if (designFamily == L"Tahoma") {
        families.insert(families.end(),
                        {L"DejaVu Sans Condensed", L"Liberation Sans", L"DejaVu Sans"});
    } else if (designFamily == L"Verdana") {
        families.insert(families.end(), {L"DejaVu Sans", L"Bitstream Vera Sans", L"Tahoma"});
    } else if (designFamily == L"MS Sans Serif") {
        families.insert(families.end(),
                        {L"Microsoft Sans Serif", L"MS Shell Dlg", L"Tahoma", L"Liberation Sans"});
    }
    return families;
}

HFONT MainWindow::fontFor(const ControlDesign& design) {
    HDC screen = GetDC(nullptr);
    std::wstring face = design.fontFamily;
    for (const std::wstring& family : fontFamiliesFor(design.fontFamily)) {
        if (familyInstalled(screen, family)) {
            face = family;
            break;
        }
    }
    ReleaseDC(nullptr, screen);
    LOGFONTW font{};
    font.lfHeight = -design.fontPixels;  // character height in pixels
    font.lfWeight = design.bold ? FW_BOLD : FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    font.lfPitchAndFamily = static_cast<BYTE>(design.fontFamily == std::wstring(L"Courier New")
                                                  ? FIXED_PITCH | FF_MODERN
                                                  : VARIABLE_PITCH | FF_SWISS);
    lstrcpynW(font.lfFaceName, face.c_str(), LF_FACESIZE);
    HFONT handle = CreateFontIndirectW(&font);
    fonts_.push_back(handle);
    return handle;
}

MainWindow::~MainWindow() {
    destroy();
}

void MainWindow::create(WNDPROC procedure, void* parameter) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // arrow
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WindowClassName;
    RegisterClassExW(&windowClass);  // fails harmlessly when registered already

    // Sizeable border, system menu only (no minimise or maximise box).
    constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
    RECT outer{0, 0, FormClientSize.cx, FormClientSize.cy};
    AdjustWindowRectEx(&outer, style, FALSE, 0);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int left = work.left + (work.right - work.left - width) / 2;
    const int top = work.top + (work.bottom - work.top - height) / 2;
    window_ = CreateWindowExW(0, WindowClassName, L"Zorbel", style, left, top, width, height,
                              nullptr, nullptr, instance, parameter);

    const ControlDesign defaultFont{Control::Label1, L"", {}, L"", L"MS Sans Serif", 11, false, 0};
    SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(defaultFont)), FALSE);

    // Created in tab order (cboDrives, pbar, cmdUpdate, cmdClose), then the
    // rest, the first made on top: the revisions above the blanks that
    // lblUpdateMsg leaves for them; the bevel at the bottom so that it frames
    // what lies on it. The form paints its background under all of them.
    const Control order[] = {Control::cboDrives,  Control::pbar,         Control::cmdUpdate,
                             Control::cmdClose,   Control::lblOldFW,     Control::lblNewFW,
                             Control::Label1,     Control::lblUpdateMsg, Control::lblMsg,
                             Control::lblPercent, Control::Bevel1};
    for (Control which : order) {
        const ControlDesign& design = formDesign()[static_cast<int>(which)];
        const wchar_t* className = L"STATIC";
        DWORD controlStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        int controlHeight = design.rect.bottom;
        switch (which) {
            case Control::cboDrives:
                className = L"COMBOBOX";
                controlStyle |= CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP;
                controlHeight += DropDownLines * ListItemHeight;
                break;
            case Control::pbar:
                className = PROGRESS_CLASSW;
                controlStyle |= PBS_SMOOTH | WS_TABSTOP;
                break;
            case Control::cmdUpdate:
            case Control::cmdClose:
                className = L"BUTTON";
                controlStyle |= BS_PUSHBUTTON | WS_TABSTOP;
                break;
            case Control::Bevel1:
                controlStyle |= SS_ETCHEDFRAME;
                break;
            default:
                controlStyle |= SS_LEFT | SS_NOPREFIX;
                break;
        }
        HWND control = CreateWindowExW(
            0, className, design.text, controlStyle, design.rect.left, design.rect.top,
            design.rect.right, controlHeight, window_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId(which))), instance, nullptr);
        controls_[static_cast<int>(which)] = control;
        colours_[static_cast<int>(which)] = design.colour;
        if (which != Control::Bevel1 && which != Control::pbar) {
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(design)), FALSE);
        }
        if (isLabel(which)) {
            setLabelText(which, design.text);
        }
    }
    HWND list = control(Control::cboDrives);
    SendMessageW(list, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), FieldHeight);
    SendMessageW(list, CB_SETITEMHEIGHT, 0, ListItemHeight);
    SetWindowPos(control(Control::Bevel1), HWND_BOTTOM, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    HWND bar = control(Control::pbar);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    SendMessageW(bar, PBM_SETPOS, 0, 0);

    updateImages_ = buttonImages(drawUpdate);
    closeImages_ = buttonImages(drawClose);
    setButtonImages(control(Control::cmdUpdate), updateImages_);
    setButtonImages(control(Control::cmdClose), closeImages_);
}

void MainWindow::destroy() {
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
    for (HFONT font : fonts_) {
        DeleteObject(font);
    }
    fonts_.clear();
    if (updateImages_ != nullptr) {
        ImageList_Destroy(updateImages_);
        updateImages_ = nullptr;
    }
    if (closeImages_ != nullptr) {
        ImageList_Destroy(closeImages_);
        closeImages_ = nullptr;
    }
}

bool MainWindow::isLabel(Control control) const {
    switch (control) {
        case Control::Label1:
        case Control::lblUpdateMsg:
        case Control::lblOldFW:
        case Control::lblNewFW:
        case Control::lblMsg:
        case Control::lblPercent:
            return true;
        default:
            return false;
    }
}

void MainWindow::setColour(Control control, COLORREF colour) {
    colours_[static_cast<int>(control)] = colour;
    InvalidateRect(this->control(control), nullptr, TRUE);
}

std::wstring MainWindow::fontFace(Control control) const {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(this->control(control), WM_GETFONT, 0, 0));
    LOGFONTW description{};
    if (font == nullptr || GetObjectW(font, sizeof description, &description) == 0) {
        return {};
    }
    return description.lfFaceName;
}

void MainWindow::setLabelText(Control control, const std::wstring& text) {
    HWND label = this->control(control);
    SetWindowTextW(label, text.c_str());
    const ControlDesign& design = formDesign()[static_cast<int>(control)];
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, std::max<int>(design.rect.right, extent.cx),
                 design.rect.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The form repaints what the label left uncovered.
    InvalidateRect(window_, nullptr, TRUE);
}

}  // namespace zorbel::win32
