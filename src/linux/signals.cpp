// How the game ends on Linux besides Esc: stop signals, and the display
// going away.
#include "platform.h"

#include <allegro.h>

#include <X11/Xlib.h>
#include <csignal>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace {
// Ctrl+C, kill (a logout's or a service manager's too) and a hang-up.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
// How the game found them, and SIGQUIT, when it started.
struct sigaction at_start[NSIG];

// Ends the process by `sig` now, from whichever thread runs this.
void die_by(int sig)
{
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

// The first stop signal ends the loop at the end of its pass; one more
// ends the process at once, should the shutdown ever stall.
void note_stop(int sig)
{
    if (stop_signal)
        die_by(sig);
    stop_signal = sig;
    wake_game();
}

// The X server went away (a logout ends it along with the game, a
// compositor died) or refused the game's drawing. Xlib would call exit(),
// which runs the library's shutdown a second time, inside the first one if
// a stop signal had begun it, and that waits forever for a lock the first
// one holds. The game ends here instead, without the library: by the stop
// signal if one came, else with status 1 and one line. The snapshot stays
// whole: a save either renamed its file into place or left the old one.
//
// A stop signal sent before the display went may not have reached its
// handler yet: the kernel hands a process's signal to one thread, and this
// one, back from the read that found the server gone, may get here first.
// It is then still pending, or another thread has just taken it; both are
// looked for, the second for a moment.
[[noreturn]] void display_gone(const char *why, size_t len)
{
    for (int ms = 0; ms < 100; ms++) {
        if (const int sig = stop_signal)
            die_by(sig);
        sigset_t pending;
        if (sigpending(&pending) == 0)
            for (int sig : STOP_SIGNALS)
                if (sigismember(&pending, sig))
                    die_by(sig);
        const timespec one_ms{0, 1000 * 1000};
        nanosleep(&one_ms, nullptr);
    }
    (void)!write(STDERR_FILENO, why, len);
    _exit(1);
}

int on_io_error(Display *)
{
    static const char why[] = "vellomar: the X display went away\n";
    display_gone(why, sizeof why - 1);
}

int on_error(Display *, XErrorEvent *)
{
    static const char why[] = "vellomar: the X display refused to draw the game's window\n";
    display_gone(why, sizeof why - 1);
}
} // namespace

void catch_stop_signals()
{
    static bool noted = false;
    if (!noted) {
        noted = true;
        for (int sig : STOP_SIGNALS)
            sigaction(sig, nullptr, &at_start[sig]);
        sigaction(SIGQUIT, nullptr, &at_start[SIGQUIT]);
        XSetIOErrorHandler(on_io_error);
        XSetErrorHandler(on_error);
    }
    for (int sig : STOP_SIGNALS) {
        if (at_start[sig].sa_handler == SIG_IGN) {
            sigaction(sig, &at_start[sig], nullptr);  // nohup, or a background job
            continue;
        }
        struct sigaction sa {};
        sa.sa_handler = note_stop;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
    // SIGQUIT asks for a core dump: it keeps what it had.
    sigaction(SIGQUIT, &at_start[SIGQUIT], nullptr);
}
