// Pass rate of the real frame + key pass against a floor that does the least
// the library allows for the same picture: the two discs and one full masked
// present, with no key logic. The two are interleaved in one run so that
// both see the same machine.
#include "board.h"
#include "keys.h"
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

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int passes = argc > 2 ? std::atoi(argv[2]) : 500;
    if (!startup())
        return 1;
    watch_presses();

    const Race r = race(real_pass, floor_pass, rounds, passes);
    const double n = double(rounds) * passes;
    std::printf("passes per second: real %.0f, floor %.0f (%d rounds of %d)\n", n / r.a_ms * 1000,
                n / r.b_ms * 1000, rounds, passes);
    std::printf("ratio real/floor: %.3f overall, %.3f median of rounds (target >= 0.97)\n", r.ratio(),
                median(r.ratios));
    shutdown();
    return 0;
}
END_OF_MAIN()
