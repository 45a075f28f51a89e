// The game's rest on X11: asleep until a key is pressed or let go, or a
// stop signal comes.
//
// The library's background thread reads the X events (keys among them)
// every 10 ms and looks whether that is due every millisecond: a game
// sleeping with it running still costs a few percent of a core, and the X
// server a round trip each time. During a rest it is held at its next turn
// instead, and this thread, asleep on the X connection and the wake-up
// counter at once, hands the events to the library's own reader as they
// come: a key reaches the game as soon as it would have, an uncovered
// window is redrawn from the library's copy of the board, and a lost
// display ends the game through the X error handler (signals.cpp).
#include "platform.h"

#include <allegro.h>
#include <allegro/platform/aintunix.h>
#include <xalleg.h>

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

extern "C" void _xwin_handle_input(void);

namespace {

// Counts wake-ups since the last wait; made before main(), so that a signal
// handler never has to.
const int wakes = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

// Whether a wake-up came since the last look; forgets it.
bool woken()
{
    uint64_t n;
    return read(wakes, &n, sizeof n) == sizeof n;
}

} // namespace

void wake_game()
{
    const uint64_t one = 1;
    (void)!write(wakes, &one, sizeof one);
}

void wait_for_wake()
{
    if (wakes < 0 || !_xwin.display || !_unix_bg_man->multi_threaded)
        return;
    // Held at its next turn: from here on only this thread reads the display.
    _unix_bg_man->disable_interrupts();
    for (;;) {
        // Sends what was drawn, and hands what came to the library: keys
        // (whose handler wakes the game), exposures, a broken connection.
        _xwin_handle_input();
        // What the handling drew, an uncovered part of the window, goes out
        // now: it would wait for the next turn of the held thread.
        XFlush(_xwin.display);
        if (woken())
            break;
        // The reader takes a bounded number at a time; the rest wait in
        // Xlib's queue, where no poll of the connection sees them.
        if (XEventsQueued(_xwin.display, QueuedAlready) > 0)
            continue;
        pollfd on[] = {{wakes, POLLIN, 0}, {ConnectionNumber(_xwin.display), POLLIN, 0}};
        if (poll(on, 2, -1) < 0 && errno != EINTR)
            break;
    }
    _unix_bg_man->enable_interrupts();
}
