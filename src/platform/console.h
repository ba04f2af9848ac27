// The terminal a program was started from.
#pragma once

namespace platform {

// Makes standard input, output and error reach the terminal the program was started from, where
// they do not lead anywhere yet. A Windows program with a window starts without them: it attaches
// to its parent's console, or opens a console of its own when the parent has none. Elsewhere the
// streams are there from the start and nothing changes.
void AttachToConsole();

}  // namespace platform
