// Pass rate of the real frame + key pass against a floor that does the least
// the library allows for the same picture: the two discs and one full masked
// present, with no key logic. The two are interleaved in one run so that
// both see the same machine.
#include "board.h"
#include "timing.h"

#include <cstdio>
#include <cstdlib>

static void floor_pass()
{
    circlefill(buffer, x2, y2, DOT_RADIUS, makecol(255, 50, 50));
    circlefill(buffer, x, y, DOT_RADIUS, makecol(150, 150, 150));
    draw_sprite(screen, buffer, 0, 0);
}

static void real_pass()
{
    frame();
    move();
}

template <class F> static double time_passes(F pass, int n)
{
    double t0 = now_ms();
    for (int i = 0; i < n; i++)
        pass();
    return now_ms() - t0;
}

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int passes = argc > 2 ? std::atoi(argv[2]) : 500;
    if (!startup())
        return 1;

    time_passes(real_pass, passes); // warm up
    double real_ms = 0, floor_ms = 0;
    std::vector<double> ratios;
    for (int r = 0; r < rounds; r++) {
        // Alternate which goes first, so neither always follows the other.
        double a, b;
        if (r % 2) {
            a = time_passes(real_pass, passes);
            b = time_passes(floor_pass, passes);
        } else {
            b = time_passes(floor_pass, passes);
            a = time_passes(real_pass, passes);
        }
        real_ms += a;
        floor_ms += b;
        ratios.push_back(b / a);
    }
    const double n = double(rounds) * passes;
    std::printf("passes per second: real %.0f, floor %.0f (%d rounds of %d)\n", n / real_ms * 1000,
                n / floor_ms * 1000, rounds, passes);
    std::printf("ratio real/floor: %.3f overall, %.3f median of rounds (target >= 0.97)\n", floor_ms / real_ms,
                median(ratios));
    shutdown();
    return 0;
}
