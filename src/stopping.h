// How the game ends besides Esc: Ctrl+C, kill, a logout (catch_stop_signals()
// in platform.h makes them set `stop_signal`, which ends the loop at the end
// of its pass).
#pragma once

#include "platform.h"

// If a stop signal ended the loop: ends the process by that signal, after
// the library's own shutdown, so that the shell sees what ended it.
void end_by_stop_signal();
