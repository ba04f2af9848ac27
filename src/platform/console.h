// The terminal a program was started from.
#pragma once

namespace platform {

// Makes standard input, output and error reach the terminal the program was started from, where
// they do not lead anywhere yet. A Windows program with a window starts without them: it attaches
// to its parent's console, or opens a console of its own when the parent has none. Elsewhere the
// streams are there from the start and nothing changes.
void AttachToConsole();

// Makes standard output and error carry the program's bytes unchanged. Windows's C run-time would
// write each line feed as a carriage return and a line feed: a file's bytes written to standard
// output would arrive changed, and a tool's listings would differ between the systems. POSIX
// streams carry bytes unchanged already.
void UseBinaryStandardStreams();

// Whether standard input, or standard error, is a terminal (a console on Windows) rather than a
// file or a pipe: what is drawn or asked there has a person in front of it.
bool StandardInputIsTerminal();
bool StandardErrorIsTerminal();

}  // namespace platform
