// Time from an Esc key event to the game's exit, on the real binary: Esc
// held until the game is gone, and Esc tapped (press and release back to
// back, as an on-screen keyboard or a script sends them), interleaved.
// Then the time from the X server's end, with SIGTERM (a logout), to the
// game's exit. Beside it: the round trip of the key event itself (XTEST request and
// XSync), which is as fast as any key can ever register.
// "bench_latency start N" times only the start to the board, N times.
#include "timing.h"
#include "xgame.h"

#include <X11/keysym.h>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <string>

// The time from starting the game to its board on screen (the grey dot at
// its start place), for the browser build's benchmark to set beside its own.
static int start_to_board(int runs)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; i++) {
        const double t0 = now_ms();
        XGame g;
        if (!g.ready() || !g.wait_pixel(DOT1_START_X, DOT1_START_Y, GREY)) {
            std::fprintf(stderr, "run %d: the game did not come up: %s\n", i, g.output().c_str());
            return 1;
        }
        ms.push_back(now_ms() - t0);
        g.press(XK_Escape);
        g.wait_exit(10000);
        g.release(XK_Escape);
    }
    std::printf("start to board over %d runs: median %.1f ms, max %.1f ms\n", runs, median(ms),
                *std::max_element(ms.begin(), ms.end()));
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 2 && std::string(argv[1]) == "start")
        return start_to_board(std::atoi(argv[2]));
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    std::vector<double> exit_ms[2], trip_ms;
    for (int i = 0; i < 2 * runs; i++) {
        const bool tap = i % 2;
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
        if (tap)
            g.release(XK_Escape);
        int status = g.wait_exit(10000);
        double t2 = now_ms();
        if (status != 0) {
            std::fprintf(stderr, "run %d: exit status %d\n", i, status);
            return 1;
        }
        trip_ms.push_back(t1 - t0);
        exit_ms[tap].push_back(t2 - t0);
        if (!tap)
            g.release(XK_Escape);
    }
    // A logout: the X server ended and SIGTERM sent at the same moment.
    std::vector<double> gone_ms;
    const std::string display = getenv("DISPLAY");
    for (int i = 0; i < runs; i++) {
        XServer server;
        setenv("DISPLAY", server.name().c_str(), 1);
        XGame g;
        setenv("DISPLAY", display.c_str(), 1);
        if (!g.ready()) {
            std::fprintf(stderr, "logout run %d: the game did not come up\n", i);
            return 1;
        }
        g.drop_display();
        double t0 = now_ms();
        if (i % 2)
            kill(g.pid(), SIGTERM);
        server.kill_now();
        if (!(i % 2))
            kill(g.pid(), SIGTERM);
        const int status = g.wait_exit(10000);
        if (status != 128 + SIGTERM && status != 1) {
            std::fprintf(stderr, "logout run %d: exit status %d\n", i, status);
            return 1;
        }
        gone_ms.push_back(now_ms() - t0);
    }
    auto max = [](const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); };
    std::printf("Esc held to exit over %d runs:   median %.1f ms, max %.1f ms\n", runs, median(exit_ms[0]),
                max(exit_ms[0]));
    std::printf("Esc tapped to exit over %d runs: median %.1f ms, max %.1f ms\n", runs, median(exit_ms[1]),
                max(exit_ms[1]));
    std::printf("X server ended, SIGTERM, to exit:     median %.1f ms, max %.1f ms\n", median(gone_ms), max(gone_ms));
    std::printf("key event round trip:           median %.2f ms, max %.2f ms\n", median(trip_ms), max(trip_ms));
    return 0;
}
