// The real binary on the test display: real key events, real pixels.
#include <gtest/gtest.h>  // before Xlib, whose macros clash with it

#include "xgame.h"

#include <X11/keysym.h>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {
const Rgb8 GREY{150, 150, 150}, LIGHT_RED{255, 50, 50}, BLACK{0, 0, 0}, RED{255, 0, 0};
}

TEST(EndToEnd, OpensTheBoardAndQuitsSilentlyOnEsc)
{
    XGame g;
    ASSERT_TRUE(g.ready()) << g.output();
    EXPECT_TRUE(near(g.pixel(15, 15), GREY));
    EXPECT_TRUE(near(g.pixel(625, 465), LIGHT_RED));
    EXPECT_TRUE(near(g.pixel(320, 240), BLACK));

    // Red help text in the first line's cells, none beyond them.
    int reds = 0;
    for (int px = 0; px < 320; px++)
        for (int py = 0; py < 8; py++)
            reds += near(g.pixel(px, py), RED, 20);
    EXPECT_GT(reds, 50);
    EXPECT_TRUE(near(g.pixel(500, 4), BLACK));

    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
    EXPECT_EQ(g.output(), "");
}

TEST(EndToEnd, ArrowsAndWsadDrawLinesThatStopAtTheLimits)
{
    XGame g;
    ASSERT_TRUE(g.ready()) << g.output();
    // Held for long enough to run each dot into its limit.
    g.press(XK_Right);
    g.press(XK_w);
    ASSERT_TRUE(g.wait_pixel(629, 15, GREY));
    ASSERT_TRUE(g.wait_pixel(625, 11, LIGHT_RED));
    g.release(XK_Right);
    g.release(XK_w);

    // A continuous grey line on row 15 up to x = 629 + radius, no further.
    for (int px = 15; px <= 634; px += 7)
        EXPECT_TRUE(near(g.pixel(px, 15), GREY)) << px;
    EXPECT_TRUE(near(g.pixel(634, 15), GREY));
    EXPECT_FALSE(near(g.pixel(635, 15), GREY));
    // The light-red line runs up column 625 to y = 11 - radius. Where the
    // two lines cross, the grey dot (drawn on top) won the later passes.
    for (int py = 465; py >= 25; py -= 11)
        EXPECT_TRUE(near(g.pixel(625, py), LIGHT_RED)) << py;
    EXPECT_TRUE(near(g.pixel(625, 6), LIGHT_RED));
    EXPECT_FALSE(near(g.pixel(625, 5), LIGHT_RED));

    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
}

TEST(EndToEnd, SpaceClearsTheLinesButNotTheDots)
{
    XGame g;
    ASSERT_TRUE(g.ready()) << g.output();
    g.press(XK_Down);
    ASSERT_TRUE(g.wait_pixel(15, 100, GREY));
    g.release(XK_Down);
    g.tap(XK_space);
    // The old trail is gone, while the dots stand where they were. (Each
    // pass that still sees Space held flashes the screen white: the board
    // shows for good once the game has seen it let go.)
    ASSERT_TRUE(g.wait_pixel(15, 30, BLACK));
    EXPECT_TRUE(g.wait_pixel(625, 465, LIGHT_RED));
    EXPECT_TRUE(g.wait_pixel(320, 240, BLACK));
    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
}

TEST(EndToEnd, WithoutADisplayItSaysSoAndExitsWithOne)
{
    std::string out;
    EXPECT_EQ(run_game(nullptr, &out), 1);
    EXPECT_NE(out.find("vellomar: cannot start"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

    EXPECT_EQ(run_game(":9999", &out), 1) << "display that does not exist";
    EXPECT_NE(out.find("vellomar: "), std::string::npos) << out;
}

namespace {
std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.' || std::strncmp(e->d_name, ".load-", 6) == 0)
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// A whole snapshot: as long as its header says, and the size of the board.
bool whole_snapshot(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char h[26] = {};
    size_t n = std::fread(h, 1, sizeof h, f);
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    auto u32 = [&](int at) { return long(h[at] | h[at + 1] << 8 | h[at + 2] << 16 | h[at + 3] << 24); };
    return n == sizeof h && h[0] == 'B' && h[1] == 'M' && u32(2) == size && u32(18) == 640 && u32(22) == 480;
}
std::string contents(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The Windows build, run under Wine instead of the native one.
bool under_wine()
{
    const char *game = getenv("VELLOMAR_GAME");
    return game && std::strstr(game, "wine");
}
} // namespace

TEST(EndToEnd, StopSignalsEndItQuietlyAndLeaveAWholeSnapshot)
{
    char tmpl[] = "/tmp/vellomar-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    // Ctrl+C, kill and a hang-up end the game at the end of a pass, and the
    // process by that same signal; a race would show in one run of several.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGINT, SIGTERM, SIGHUP, SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        XGame g(dir);
        ASSERT_TRUE(g.ready()) << g.output();
        g.press(XK_F1); // saving on every pass from now on
        g.press(XK_Down);  // and the board changing, so that every pass saves
        usleep(150 * 1000);
        kill(g.pid(), sig);
        EXPECT_EQ(g.wait_exit(), 128 + sig);
        g.release(XK_Down);
        g.release(XK_F1);
        EXPECT_TRUE(whole_snapshot(dir + "/load.bmp"));
        EXPECT_EQ(g.output(), "");
        EXPECT_EQ(listing(dir), std::vector<std::string>{"load.bmp"});
    }
    std::system(("rm -rf " + dir).c_str());
}

TEST(EndToEnd, KilledGamesNeverTearTheSnapshotAndWhatTheyLeftGoes)
{
    char tmpl[] = "/tmp/vellomar-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    for (int i = 0; i < 3; i++) {
        XGame g(dir);
        ASSERT_TRUE(g.ready()) << g.output();
        g.press(XK_F1);
        g.press(XK_Down);
        usleep(150 * 1000 * patience());
        kill(g.pid(), SIGKILL);
        g.wait_exit();
        g.release(XK_Down);
        g.release(XK_F1);
        EXPECT_TRUE(whole_snapshot(dir + "/load.bmp"));
    }
    // Nothing can clean up after SIGKILL at the time; the next save in the
    // same directory removes what killed games left, and only that: not a
    // user's file that looks alike, nor one of a game still running. On
    // Linux a running game holds a lock on its file; here one with the
    // game's own pid, as a game in another pid namespace may have.
    const std::string look_alike = ".load-2024-final.bmp";
    std::vector<std::string> kept{look_alike, "load.bmp"};
    for (const std::string &f : {std::string(".load-999999-AbCdEf.bmp"), look_alike})
        std::fclose(std::fopen((dir + "/" + f).c_str(), "w"));
    XGame g(dir);
    ASSERT_TRUE(g.ready());
    const std::string alive = ".load-" + std::to_string(under_wine() ? getpid() : g.pid()) + "-AbCdEf.bmp";
    const int held = open((dir + "/" + alive).c_str(), O_RDWR | O_CREAT, 0600);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    if (under_wine())
        unlink((dir + "/" + alive).c_str());  // the test's pid is no Windows pid
    else if (fcntl(held, F_OFD_SETLK, &lock) == 0)
        kept.push_back(alive);
    std::sort(kept.begin(), kept.end());
    g.tap(XK_F1, 300);
    // The game may still be in its last save when F1 is up: its own
    // temporary file is there until that save ends.
    std::vector<std::string> seen;
    for (int i = 0; i < 40 * patience() && (seen = listing(dir)) != kept; i++)
        usleep(50 * 1000);
    EXPECT_EQ(seen, kept);
    EXPECT_TRUE(whole_snapshot(dir + "/load.bmp"));

    // A read-only snapshot is left alone, as an in-place write would be
    // refused (on Linux, root may write it all the same).
    if (under_wine() || geteuid() != 0) {
        const std::string before = contents(dir + "/load.bmp");
        chmod((dir + "/load.bmp").c_str(), 0444);
        g.press(XK_Down);
        g.tap(XK_F1, 300);
        g.release(XK_Down);
        EXPECT_EQ(contents(dir + "/load.bmp"), before);
        EXPECT_EQ(listing(dir), kept);
    }
    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
    close(held);
    std::system(("rm -rf " + dir).c_str());
}

TEST(EndToEnd, F2AndPBringASavedBoardBack)
{
    char tmpl[] = "/tmp/vellomar-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    XGame g(dir);
    ASSERT_TRUE(g.ready()) << g.output();
    g.press(XK_Down);
    ASSERT_TRUE(g.wait_pixel(15, 200, GREY));
    g.release(XK_Down);
    g.tap(XK_F1);
    g.tap(XK_space);
    ASSERT_TRUE(g.wait_pixel(15, 100, BLACK));
    g.tap(XK_F2);
    g.tap(XK_p);
    EXPECT_TRUE(g.wait_pixel(15, 100, GREY)) << "the saved line did not come back";
    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
    EXPECT_EQ(g.output(), "");
    std::system(("rm -rf " + dir).c_str());
}
