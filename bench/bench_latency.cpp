// The real binary's latencies, through XTEST and its window's pixels:
// - from an Esc key event to the game's exit, Esc held until the game is
//   gone and Esc tapped (press and release back to back, as an on-screen
//   keyboard or a script sends them), from rest (a second with no key) and
//   while a held key keeps the game running passes;
// - from a key pressed at rest to the dot it moves on the screen (the pass
//   that read it, and the present of the next);
// - from the X server's end, with SIGTERM (a logout), to the game's exit;
// - beside them, the round trip of the key event itself (XTEST request and
//   XSync), which is as fast as any key can ever register.
// "bench_latency start N" times only the start to the board, N times.
// "bench_latency rest S" measures the processor time the game (and Wine's
// own, under Wine), and the X server if VELLOMAR_XSERVER_PID names it, use
// over S seconds at rest.
// VELLOMAR_GAME runs another build (an older one, or the Windows exe under
// Wine) in place of this tree's.
#include "timing.h"
#include "xgame.h"

#include <X11/keysym.h>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

static void sleep_s(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

static double max_of(const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); }

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
    std::printf("start to board over %d runs: median %.1f ms, max %.1f ms\n", runs, median(ms), max_of(ms));
    return 0;
}

static unsigned long long ticks_of(const char *pid)
{
    std::ifstream in(std::string("/proc/") + pid + "/stat");
    std::string line;
    if (!pid || !std::getline(in, line) || line.rfind(')') == std::string::npos)
        return 0;
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string f;
    unsigned long long ticks = 0;
    for (int i = 0; rest >> f && i <= 12; i++)
        if (i >= 11)
            ticks += std::stoull(f);
    return ticks;
}

// A core's share the game used at rest, over `seconds`.
static int at_rest(double seconds)
{
    XGame g;
    if (!g.ready())
        return 1;
    sleep_s(2);
    const char *server = getenv("VELLOMAR_XSERVER_PID");
    const unsigned long long game0 = work_ticks(g.pid()), server0 = ticks_of(server);
    const double t0 = now_ms();
    sleep_s(seconds);
    const double s = (now_ms() - t0) / 1000, tick = double(sysconf(_SC_CLK_TCK));
    std::printf("at rest over %.0f s: the game %.1f %% of a core, the X server %.1f %%\n", s,
                100 * double(work_ticks(g.pid()) - game0) / tick / s,
                server ? 100 * double(ticks_of(server) - server0) / tick / s : 0.0);
    g.tap(XK_Escape);
    g.wait_exit(10000);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 2 && std::string(argv[1]) == "start")
        return start_to_board(std::atoi(argv[2]));
    if (argc > 2 && std::string(argv[1]) == "rest")
        return at_rest(std::atof(argv[2]));
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    // [resting or running][held or tapped]
    std::vector<double> exit_ms[2][2], trip_ms, key_ms;
    for (int i = 0; i < 4 * runs; i++) {
        const bool tap = i % 2, running = i / 2 % 2;
        XGame g;
        if (!g.ready()) {
            std::fprintf(stderr, "run %d: the game did not come up: %s\n", i, g.output().c_str());
            return 1;
        }
        sleep_s(1);
        if (!running) {
            // A key pressed at rest, to its dot moved on the screen.
            const double t0 = now_ms();
            g.press(XK_Down);
            g.wait_pixel(DOT1_START_X, DOT1_START_Y + DOT_RADIUS + 1, GREY, 12, 10000);
            key_ms.push_back(now_ms() - t0);
            g.release(XK_Down);
            sleep_s(1);
        } else {
            // Up held with dot 1 at its limit: passes run, nothing moves.
            g.press(XK_Up);
            sleep_s(0.5);
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
        exit_ms[running][tap].push_back(t2 - t0);
        if (!tap)
            g.release(XK_Escape);
        if (running)
            g.release(XK_Up);
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
    const char *how[2] = {"at rest", "running"};
    for (int running = 0; running < 2; running++) {
        std::printf("Esc held to exit, %s, over %d runs:   median %.1f ms, max %.1f ms\n", how[running], runs,
                    median(exit_ms[running][0]), max_of(exit_ms[running][0]));
        std::printf("Esc tapped to exit, %s, over %d runs: median %.1f ms, max %.1f ms\n", how[running], runs,
                    median(exit_ms[running][1]), max_of(exit_ms[running][1]));
    }
    std::printf("a key at rest to its dot moved on the screen: median %.1f ms, max %.1f ms\n", median(key_ms),
                max_of(key_ms));
    std::printf("X server ended, SIGTERM, to exit:     median %.1f ms, max %.1f ms\n", median(gone_ms), max_of(gone_ms));
    std::printf("key event round trip:           median %.2f ms, max %.2f ms\n", median(trip_ms), max_of(trip_ms));
    return 0;
}
