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
    const int passes = argc > 2 ? std::atoi(argv[2]) : 100;
    char dir[] = "/tmp/vellomar-bench-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || !startup())
        return 1;
    key[KEY_F1] = 1;

    time_passes(real_pass, passes);
    double safe_ms = 0, place_ms = 0;
    std::vector<double> ratios;
    for (int r = 0; r < rounds; r++) {
        double a, b;
        if (r % 2) {
            a = time_passes(real_pass, passes);
            b = time_passes(in_place_pass, passes);
        } else {
            b = time_passes(in_place_pass, passes);
            a = time_passes(real_pass, passes);
        }
        safe_ms += a;
        place_ms += b;
        ratios.push_back(b / a);
    }
    const double n = double(rounds) * passes;
    std::printf("F1 held, passes per second: safe save %.0f, in-place save %.0f (%d rounds of %d)\n",
                n / safe_ms * 1000, n / place_ms * 1000, rounds, passes);
    std::printf("ratio safe/in-place: %.3f overall, %.3f median of rounds (target >= 0.85)\n", place_ms / safe_ms,
                median(ratios));
    shutdown();
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
