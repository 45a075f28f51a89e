// F1 held: pass rate of the real pass, which saves through a temporary
// file and a rename, against a pass that writes "load.bmp" in place with the
// library's save_bitmap (and so can tear the file). Then F2 held: the real
// pass, which reads the file once, checks it and hands it to the reader
// from memory, against a pass that calls the library's load_bitmap on it.
// Each pair interleaved in one run.
#include "board.h"
#include "timing.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

static void real_pass()
{
    frame();
    move();  // F1 or F2 is held
}

static void in_place_save_pass()
{
    frame();
    get_palette(pal);
    if (load)
        destroy_bitmap(load);
    load = create_sub_bitmap(buffer, 0, 0, SCREEN_W, SCREEN_H);
    save_bitmap(SNAPSHOT_FILE, load, pal);
}

static void library_load_pass()
{
    frame();
    if (load)
        destroy_bitmap(load);
    load = load_bitmap(SNAPSHOT_FILE, pal);
}

template <class B> static void report(const char *what, B baseline, const char *against, int rounds, int passes)
{
    const Race r = race(real_pass, baseline, rounds, passes);
    const double n = double(rounds) * passes;
    std::printf("%s held, passes per second: ours %.0f, %s %.0f (%d rounds of %d)\n", what, n / r.a_ms * 1000,
                against, n / r.b_ms * 1000, rounds, passes);
    std::printf("ratio ours/%s: %.3f overall, %.3f median of rounds (target >= 0.95)\n", against, r.ratio(),
                median(r.ratios));
}

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int passes = argc > 2 ? std::atoi(argv[2]) : 100;
    char dir[] = "/tmp/vellomar-bench-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || !startup())
        return 1;
    key[KEY_F1] = 1;
    report("F1", in_place_save_pass, "in-place save_bitmap", rounds, passes);
    key[KEY_F1] = 0;
    key[KEY_F2] = 1;
    report("F2", library_load_pass, "load_bitmap", rounds, passes);
    shutdown();
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
