#include "app/win32/MessageDialog.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace zorbel::win32 {

namespace {

constexpr UINT ShownMessage = WM_APP + 2;
constexpr int Margin = 12;
constexpr int IconSize = 32;
constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 23;
constexpr int ButtonGap = 6;
constexpr int MaxTextWidth = 420;
constexpr DWORD DialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

struct DialogState {
    const MessageDialogRun* run;
    HFONT font = nullptr;
};

void appendText(std::vector<WORD>& words, std::wstring_view text) {
    for (wchar_t c : text) {
        words.push_back(static_cast<WORD>(c));
    }
    words.push_back(0);
}

// An in-memory template without controls: the controls are made when the
// dialog starts, sized to the text.
std::vector<WORD> dialogTemplate(std::wstring_view caption) {
    std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
    auto* head = reinterpret_cast<DLGTEMPLATE*>(words.data());
    head->style = DialogStyle;
    head->cdit = 0;
    head->cx = 100;
    head->cy = 50;
    words.push_back(0);  // no menu
    words.push_back(0);  // the dialog class
    appendText(words, caption);
    words.push_back(8);  // point size of the template's font
    appendText(words, L"MS Shell Dlg");
    return words;
}

HWND makeControl(HWND dialog, const wchar_t* className, const wchar_t* text, DWORD style, RECT rect,
                 int id, HFONT font) {
    HWND control = CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, rect.left,
                                   rect.top, rect.right - rect.left, rect.bottom - rect.top, dialog,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

std::wstring wide(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

const wchar_t* iconOf(DialogKind kind) {
    switch (kind) {
        case DialogKind::Error:
            return MAKEINTRESOURCEW(32513);  // hand (error)
        case DialogKind::Warning:
        case DialogKind::WarningQuestion:
            return MAKEINTRESOURCEW(32515);  // exclamation
        case DialogKind::Information:
            return MAKEINTRESOURCEW(32516);  // asterisk (information)
    }
    return nullptr;
}

// The system's message-box font. The metrics structure grew in Vista (the
// padded border width at its end); systems before it refuse the larger size,
// so it is asked for with the size the running system knows.
HFONT messageFont() {
    NONCLIENTMETRICSW metrics{};
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const bool vistaOrLater = GetVersionExW(&version) && version.dwMajorVersion >= 6;
#pragma GCC diagnostic pop
    metrics.cbSize =
        vistaOrLater ? sizeof metrics : offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) {
        return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

void build(HWND dialog, DialogState& state) {
    const MessageDialogRun& run = *state.run;
    state.font = messageFont();

    // The text's extent in the dialog's font, wrapped at the widest line allowed.
    HDC dc = GetDC(dialog);
    HGDIOBJ old = SelectObject(dc, state.font);
    RECT textRect{0, 0, MaxTextWidth, 0};
    DrawTextW(dc, run.text.c_str(), static_cast<int>(run.text.size()), &textRect,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
    SelectObject(dc, old);
    ReleaseDC(dialog, dc);

    const bool yesNo = dialogAsksYesNo(run.kind);
    const int buttons = yesNo ? 2 : 1;
    const int buttonsWidth = buttons * ButtonWidth + (buttons - 1) * ButtonGap;
    const int textLeft = Margin + IconSize + Margin;
    const int textHeight = std::max<int>(textRect.bottom, 1);
    const int bodyHeight = std::max(IconSize, textHeight);
    const int clientWidth =
        std::max(textLeft + static_cast<int>(textRect.right) + Margin, buttonsWidth + 2 * Margin);
    const int clientHeight = Margin + bodyHeight + Margin + ButtonHeight + Margin;

    HWND icon =
        makeControl(dialog, L"STATIC", nullptr, SS_ICON,
                    RECT{Margin, Margin, Margin + IconSize, Margin + IconSize}, 0xFFFF, state.font);
    SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, iconOf(run.kind))),
                 0);
    const int textTop = Margin + (bodyHeight - textHeight) / 2;
    makeControl(dialog, L"STATIC", run.text.c_str(), SS_LEFT | SS_NOPREFIX,
                RECT{textLeft, textTop, textLeft + textRect.right, textTop + textHeight}, 0xFFFF,
                state.font);

    int left = (clientWidth - buttonsWidth) / 2;
    const int top = clientHeight - Margin - ButtonHeight;
    HWND first = nullptr;
    auto button = [&](int id, std::string_view text, bool isDefault) {
        const std::wstring label = wide(text);
        HWND made =
            makeControl(dialog, L"BUTTON", label.c_str(),
                        WS_TABSTOP | (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                        RECT{left, top, left + ButtonWidth, top + ButtonHeight}, id, state.font);
        left += ButtonWidth + ButtonGap;
        if (first == nullptr) {
            first = made;
        }
    };
    if (yesNo) {
        button(IDYES, YesButtonText, true);
        button(IDNO, NoButtonText, false);
        SendMessageW(dialog, DM_SETDEFID, IDYES, 0);
    } else {
        button(IDOK, OkButtonText, true);
        SendMessageW(dialog, DM_SETDEFID, IDOK, 0);
    }

    // Size for the client area wanted and centre on the screen's work area.
    RECT outer{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&outer, DialogStyle, FALSE, WS_EX_DLGMODALFRAME);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    SetWindowPos(dialog, HWND_TOP, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, width, height, 0);
    SetFocus(first);
}

INT_PTR CALLBACK dialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            state = reinterpret_cast<DialogState*>(lParam);
            build(dialog, *state);
            PostMessageW(dialog, ShownMessage, 0, 0);
            return FALSE;  // the focus is set already
        case ShownMessage:
            // The modal loop shows the dialog only once its queue runs dry;
            // it is shown and painted now, before anyone looks at it.
            ShowWindow(dialog, SW_SHOW);
            UpdateWindow(dialog);
            if (state->run->shown) {
                state->run->shown(dialog);
            }
            if (state->run->scripted) {
                switch (*state->run->scripted) {
                    case DialogAnswer::Yes:
                        EndDialog(dialog, IDYES);
                        break;
                    case DialogAnswer::No:
                        EndDialog(dialog, IDNO);
                        break;
                    case DialogAnswer::Ok:
                        EndDialog(dialog, IDOK);
                        break;
                }
            }
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDYES:
                case IDNO:
                case IDOK:
                case IDCANCEL:  // Escape, or the title bar's close
                    EndDialog(dialog, LOWORD(wParam));
                    return TRUE;
                default:
                    return FALSE;
            }
        case WM_DESTROY:
            if (state != nullptr && state->font != nullptr) {
                DeleteObject(state->font);
                state->font = nullptr;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

DialogAnswer runMessageDialog(HWND owner, const MessageDialogRun& run) {
    const std::vector<WORD> words = dialogTemplate(wide(dialogCaption(run.kind)));
    DialogState state{&run};
    const INT_PTR result = DialogBoxIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(words.data()), owner,
        dialogProcedure, reinterpret_cast<LPARAM>(&state));
    const bool yesNo = dialogAsksYesNo(run.kind);
    if (result == IDYES) {
        return DialogAnswer::Yes;
    }
    if (result == IDOK) {
        // OK on a question (Enter with the default focused) is its default, Yes.
        return yesNo ? DialogAnswer::Yes : DialogAnswer::Ok;
    }
    // No, Escape, the title bar's close, or a dialog that could not be made.
    return yesNo ? DialogAnswer::No : DialogAnswer::Ok;
}

}  // namespace zorbel::win32
