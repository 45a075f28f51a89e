// How the game ends on Windows besides Esc: Ctrl+C and Ctrl+Break in a
// console, and a terminating raise().
#include "win.h"

#include <csignal>

namespace {
constexpr int STOP_SIGNALS[] = {SIGINT, SIGBREAK, SIGTERM};
bool ignored[NSIG];

void note_stop(int sig)
{
    stop_signal = sig;
    wake_game();
}
} // namespace

void catch_stop_signals()
{
    static bool noted = false;
    for (int sig : STOP_SIGNALS) {
        if (!noted) {
            void (*was)(int) = std::signal(sig, SIG_IGN);
            ignored[sig] = was == SIG_IGN;
        }
        std::signal(sig, ignored[sig] ? SIG_IGN : note_stop);
    }
    noted = true;
}
