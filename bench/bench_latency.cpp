// Time from an Esc key event to the game's exit, on the real binary.
// Beside it: the round trip of the key event itself (XTEST request and
// XSync), which is as fast as any key can ever register.
#include "timing.h"
#include "xgame.h"

#include <X11/keysym.h>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    std::vector<double> exit_ms, trip_ms;
    for (int i = 0; i < runs; i++) {
        XGame g;
        if (!g.ready()) {
            std::fprintf(stderr, "run %d: the game did not come up: %s\n", i, g.output().c_str());
            return 1;
        }
        // Let it run flat out for a moment, as a player's game would be.
        double t = now_ms();
        while (now_ms() - t < 200) {
        }
        double t0 = now_ms();
        g.press(XK_Escape);
        double t1 = now_ms();
        int status = g.wait_exit(10000);
        double t2 = now_ms();
        if (status != 0) {
            std::fprintf(stderr, "run %d: exit status %d\n", i, status);
            return 1;
        }
        trip_ms.push_back(t1 - t0);
        exit_ms.push_back(t2 - t0);
        g.release(XK_Escape);
    }
    auto max = [](const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); };
    std::printf("Esc to exit over %d runs: median %.1f ms, max %.1f ms\n", runs, median(exit_ms), max(exit_ms));
    std::printf("key event round trip:     median %.2f ms, max %.2f ms\n", median(trip_ms), max(trip_ms));
    return 0;
}
