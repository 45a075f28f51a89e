// F1 held: pass rate of the real pass, which saves through a temporary
// file and a rename, against a pass that writes "load.bmp" in place with the
// library's save_bitmap (and so can tear the file), with a dot moving on
// every pass so that every save has a new picture to write; then with
// nothing moving, where the real pass writes nothing, against a pass with no
// key held. Then F2 held: the real pass, which reads the file once, checks
// it and hands it to the reader from memory, against a pass that calls the
// library's load_bitmap on it. Each pair interleaved in one run. Last, what
// 5 s of F1 held cost the disk, still and moving (from /proc/self/io).
#include "board.h"
#include "keys.h"
#include "timing.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// Keeps dot 1 sweeping along its row, clear of the edges, when `moving`,
// and clears the board at each turn, so that every pass stamps the dot on
// fresh board and changes the picture. The keys are set on every pass: the
// library's keyboard handler resets them to the keyboard's real state when
// the window gains the focus.
static bool moving = false;
static void steer()
{
    static int way = 1;
    const bool turn = x >= 600 || x <= 20;
    if (turn)
        way = x <= 20 ? 1 : -1;
    key[KEY_RIGHT] = moving && way > 0;
    key[KEY_LEFT] = moving && way < 0;
    key[KEY_SPACE] = moving && turn;
}

// One real frame and key pass, the dot steered, F1 held or not.
static void steered_pass(bool f1)
{
    key[KEY_F1] = f1;
    steer();
    frame();
    move();
}

static void real_save_pass() { steered_pass(true); }
static void idle_pass() { steered_pass(false); }

static void in_place_save_pass()
{
    steered_pass(false);
    get_palette(pal);
    if (load)
        destroy_bitmap(load);
    load = create_sub_bitmap(buffer, 0, 0, SCREEN_W, SCREEN_H);
    save_bitmap(SNAPSHOT_FILE, load, pal);
}

static void real_load_pass()
{
    key[KEY_F2] = 1;
    frame();
    move();  // F2 is held
}

static void library_load_pass()
{
    frame();
    if (load)
        destroy_bitmap(load);
    load = load_bitmap(SNAPSHOT_FILE, pal);
}

template <class A, class B>
static void report(const char *what, A ours, B baseline, const char *against, int rounds, int passes, const char *target)
{
    const Race r = race(ours, baseline, rounds, passes);
    const double n = double(rounds) * passes;
    std::printf("%s, passes per second: ours %.0f, %s %.0f (%d rounds of %d)\n", what, n / r.a_ms * 1000, against,
                n / r.b_ms * 1000, rounds, passes);
    std::printf("  ratio ours/%s: %.3f overall, %.3f median of rounds%s\n", against, r.ratio(), median(r.ratios),
                target);
}

// Bytes this process has had written out to the disk so far.
static long long disk_bytes()
{
    sync();
    long long written = 0, cancelled = 0;
    char line[128];
    FILE *f = std::fopen("/proc/self/io", "r");
    while (f && std::fgets(line, sizeof line, f)) {
        std::sscanf(line, "write_bytes: %lld", &written);
        std::sscanf(line, "cancelled_write_bytes: %lld", &cancelled);
    }
    if (f)
        std::fclose(f);
    return written - cancelled;
}

static void disk_cost(const char *what, bool move_dot)
{
    moving = move_dot;
    const long long before = disk_bytes();
    long saves = 0;
    for (double t0 = now_ms(); now_ms() - t0 < 5000; saves++)
        real_save_pass();
    std::printf("F1 held 5 s, %s: %.1f MB reached the disk (%ld passes)\n", what, (disk_bytes() - before) / 1e6,
                saves);
}

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int passes = argc > 2 ? std::atoi(argv[2]) : 100;
    // The disk is where the cost shows: by default a folder beside the
    // current one, not a tmpfs.
    char here[4096];
    std::string dir = (argc > 3 ? std::string(argv[3]) : std::string(getcwd(here, sizeof here) ? here : "."));
    dir += "/vellomar-bench-XXXXXX";
    if (!mkdtemp(dir.data()) || chdir(dir.c_str()) != 0 || !startup())
        return 1;
    watch_presses();
    moving = true;
    report("F1 held, a dot moving", real_save_pass, in_place_save_pass, "in-place save_bitmap", rounds, passes,
           " (target >= 0.95)");
    moving = false;
    report("F1 held, nothing moving", real_save_pass, idle_pass, "no key held", rounds, passes, "");
    key[KEY_F1] = 0;
    report("F2 held", real_load_pass, library_load_pass, "load_bitmap", rounds, passes, " (target >= 0.95)");
    key[KEY_F2] = 0;
    disk_cost("nothing moving", false);
    disk_cost("a dot moving", true);
    shutdown();
    std::system(("rm -rf " + dir).c_str());
    return 0;
}
