// F1 held: pass rate of the real pass, which saves through a temporary
// file and a rename, against a pass that writes "load.bmp" in place with the
// library's save_bitmap (and so can tear the file). Interleaved in one run.
#include "board.h"
#include "timing.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

static void real_pass()
{
    frame();
    move();  // F1 is held
}

static void in_place_pass()
{
    frame();
    get_palette(pal);
    if (load)
        destroy_bitmap(load);
    load = create_sub_bitmap(buffer, 0, 0, SCREEN_W, SCREEN_H);
    save_bitmap(SNAPSHOT_FILE, load, pal);
}

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int passes = argc > 2 ? std::atoi(argv[2]) : 100;
    char dir[] = "/tmp/vellomar-bench-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || !startup())
        return 1;
    key[KEY_F1] = 1;

    const Race r = race(real_pass, in_place_pass, rounds, passes);
    const double n = double(rounds) * passes;
    std::printf("F1 held, passes per second: safe save %.0f, in-place save %.0f (%d rounds of %d)\n",
                n / r.a_ms * 1000, n / r.b_ms * 1000, rounds, passes);
    std::printf("ratio safe/in-place: %.3f overall, %.3f median of rounds (target >= 0.95)\n", r.ratio(),
                median(r.ratios));
    shutdown();
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
