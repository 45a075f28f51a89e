// The game's rest on Windows: an event that the keyboard's handler and the
// stop signals set. The library's window thread repaints the window from
// its own copy of the board whenever it is uncovered, and its input thread
// reads the keys, both while the game sleeps here.
#include "win.h"

namespace {
// Set by a wake-up, cleared by the wait that sees it.
const HANDLE wakes = CreateEventW(nullptr, FALSE, FALSE, nullptr);
} // namespace

void wake_game() { SetEvent(wakes); }

void wait_for_wake() { WaitForSingleObject(wakes, INFINITE); }
