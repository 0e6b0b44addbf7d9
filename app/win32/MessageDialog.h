// The modal message dialog of the Win32 window: caption "Error", "Warning" or
// "Information", the kind's icon, the text, and "OK" or "&Yes" and "&No" with
// Yes or OK the default. Escape (and the title bar's close) answers No, or OK
// where OK is the only button. The stock message box cannot answer Escape
// with No on a Yes/No question, so the dialog is built here.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "app/Toolkit.h"

namespace zorbel::win32 {

struct MessageDialogRun {
    DialogKind kind = DialogKind::Information;
    std::wstring text;
    // Runs once the dialog is shown and its own loop runs.
    std::function<void(HWND dialog)> shown;
    // Taken as the answer right after `shown` has run, when set.
    std::optional<DialogAnswer> scripted;
};

// Shows the dialog modal to `owner` (which may be null), centred on the
// screen, and runs its nested message loop until a button answers.
DialogAnswer runMessageDialog(HWND owner, const MessageDialogRun& run);

}  // namespace zorbel::win32
