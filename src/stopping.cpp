#include "stopping.h"

#include <allegro.h>

volatile std::sig_atomic_t stop_signal = 0;

void end_by_stop_signal()
{
    const int sig = stop_signal;
    if (!sig)
        return;
    allegro_exit();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}
