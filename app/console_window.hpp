#pragma once

namespace punchprobe {

// Whether the console window exists for this process alone: on Windows, a
// program started from Explorer gets a console of its own that closes the
// instant the program ends. Run from a Command Prompt, PowerShell or a
// script, the console is shared (or absent). Always false elsewhere.
bool console_is_ours_alone();

// Whether standard error is a terminal that a status line can be redrawn
// on. Always false on Windows, where the countdown is left off.
bool stderr_is_terminal();

// When the console is ours alone, asks the user to press Enter and waits for
// it (or for the end of input), so the last lines stay readable.
void hold_console_until_enter();

}  // namespace punchprobe
