// Whether the window toolkit can open its window at all. A display that is
// named but unusable (a stale forwarded display, a display server that has
// ended) makes the toolkit end the process while it starts; asking first lets
// the program run on the console instead.
#pragma once

namespace zorbel::qt {

// True when the toolkit starts on the display the environment names (tried
// in a child process, whose failure cannot take the program with it), or
// when that cannot be tried here.
bool DisplayOpens();

}  // namespace zorbel::qt
