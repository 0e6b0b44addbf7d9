// The application object's tag: a process-wide integer. The window sets it to
// AspiPreferredTag before it creates the list object; the drive object reads it
// as the preference for ASPI on the NT family.
#pragma once

namespace zorbel {

inline constexpr int AspiPreferredTag = 32767;

int applicationTag();
void setApplicationTag(int tag);

}  // namespace zorbel
