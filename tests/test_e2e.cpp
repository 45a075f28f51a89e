// The real binary on the test display: real key events, real pixels. The
// EndToEnd suite holds for every build of the game, and runs on the Windows
// one under Wine too (VELLOMAR_GAME); OnX11 is the Linux game's own: its
// stop signals, its X display going away, its message without one.
#include <gtest/gtest.h>  // before Xlib, whose macros clash with it

#include "xgame.h"

#include <X11/keysym.h>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
// Where a dot drawn at its limit reaches: its centre, and its radius more.
constexpr int REACH_MIN = DOT_MIN - DOT_RADIUS, REACH_X = DOT_MAX_X + DOT_RADIUS, REACH_Y = DOT_MAX_Y + DOT_RADIUS;

// F1, Space, F2 and P: the board saved, cleared and brought back, as seen
// at (px, py), which shows `drawn`. P is the key with X keycode `p_code`
// where a layout under test puts it elsewhere. P is held until the picture
// shows, which pastes it again on every pass, to no effect.
void bring_back(XGame &g, int px, int py, Rgb drawn, unsigned p_code = 0)
{
    g.tap(XK_F1);
    g.tap(XK_space);
    ASSERT_TRUE(g.wait_pixel(px, py, BLACK));
    g.tap(XK_F2);
    p_code ? g.press_code(p_code) : g.press(XK_p);
    EXPECT_TRUE(g.wait_pixel(px, py, drawn)) << "the saved picture did not come back";
    p_code ? g.release_code(p_code) : g.release(XK_p);
}
} // namespace

TEST(EndToEnd, OpensTheBoardAndQuitsSilentlyOnEsc)
{
    XGame g;
    ASSERT_TRUE(g.ready()) << g.output();
    EXPECT_TRUE(near(g.pixel(DOT1_START_X, DOT1_START_Y), GREY));
    EXPECT_TRUE(near(g.pixel(DOT2_START_X, DOT2_START_Y), LIGHT_RED));
    EXPECT_TRUE(near(g.pixel(320, 240), BLACK));

    // Red help text in the first line's cells, none beyond them.
    int reds = 0;
    for (int px = 0; px < 320; px++)
        for (int py = 0; py < 8; py++)
            reds += near(g.pixel(px, py), HELP_RED, 20);
    EXPECT_GT(reds, 50);
    EXPECT_TRUE(near(g.pixel(500, 4), BLACK));

    g.tap(XK_Escape, 0);  // a tap however short
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
    ASSERT_TRUE(g.wait_pixel(DOT_MAX_X, DOT1_START_Y, GREY));
    ASSERT_TRUE(g.wait_pixel(DOT2_START_X, DOT_MIN, LIGHT_RED));
    g.release(XK_Right);
    g.release(XK_w);

    // A continuous grey line on its row up to the limit and the radius, no further.
    for (int px = DOT1_START_X; px <= REACH_X; px += 7)
        EXPECT_TRUE(near(g.pixel(px, DOT1_START_Y), GREY)) << px;
    EXPECT_TRUE(near(g.pixel(REACH_X, DOT1_START_Y), GREY));
    EXPECT_FALSE(near(g.pixel(REACH_X + 1, DOT1_START_Y), GREY));
    // The light-red line runs up its column to the limit less the radius.
    // Where the two lines cross, the grey dot (drawn on top) won the later
    // passes.
    for (int py = DOT2_START_Y; py >= DOT1_START_Y + 2 * DOT_RADIUS; py -= 11)
        EXPECT_TRUE(near(g.pixel(DOT2_START_X, py), LIGHT_RED)) << py;
    EXPECT_TRUE(near(g.pixel(DOT2_START_X, REACH_MIN), LIGHT_RED));
    EXPECT_FALSE(near(g.pixel(DOT2_START_X, REACH_MIN - 1), LIGHT_RED));

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

// The desktop knows the window by its own class, which the desktop entry
// names, and shows its icon.
TEST(OnX11, TheWindowHasItsClassAndIcon)
{
    XGame g;
    ASSERT_TRUE(g.ready()) << g.output();
    const std::vector<unsigned long> cls = g.window_property("WM_CLASS");
    EXPECT_EQ(std::string(cls.begin(), cls.end()), std::string("vellomar\0Vellomar\0", 18));
    const std::vector<unsigned long> icon = g.window_property("_NET_WM_ICON");
    ASSERT_GE(icon.size(), 2u);
    EXPECT_EQ(icon.size(), 2 + icon[0] * icon[1]);
    EXPECT_EQ(icon[0], 48u);
    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
}

TEST(OnX11, WithoutADisplayItSaysSoAndExitsWithOne)
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
ino_t inode_of(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Waits until the game has saved `path` anew: a file other than `before`
// (the inode there before, 0 for none) stands there. A save replaces the
// file, so by then the game is saving on every pass.
bool wait_new_save(const std::string &path, ino_t before = 0)
{
    for (int i = 0; i < 500 * patience(); i++) {
        const ino_t now = inode_of(path);
        if (now && now != before)
            return true;
        usleep(10 * 1000);
    }
    return false;
}

// Waits until process `pid` has `path` open (the game reading it).
bool wait_open(pid_t pid, const std::string &path)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (int i = 0; i < 5000 * patience(); i++) {
        if (DIR *d = opendir(fds.c_str())) {
            bool open = false;
            while (dirent *e = readdir(d)) {
                char target[4096];
                const ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
                open = open || (n > 0 && std::string(target, n) == path);
            }
            closedir(d);
            if (open)
                return true;
        }
        usleep(1000);
    }
    return false;
}

std::string contents(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// A folder of the test's own, removed when it ends, however it ends.
struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/vellomar-e2e-XXXXXX";
        if (!mkdtemp(t))
            throw std::runtime_error("no temporary folder");
        path = t;
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

// The Windows build, run under Wine instead of the native one.
bool under_wine()
{
    const char *game = getenv("VELLOMAR_GAME");
    return game && std::strstr(game, "wine");
}
} // namespace

TEST(OnX11, StopSignalsEndItQuietlyAndLeaveAWholeSnapshot)
{
    const TempDir tmp;
    const std::string &dir = tmp.path;
    // Ctrl+C, kill and a hang-up end the game at the end of a pass, and the
    // process by that same signal; a race would show in one run of several.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGINT, SIGTERM, SIGHUP, SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        XGame g(dir);
        ASSERT_TRUE(g.ready()) << g.output();
        const ino_t before = inode_of(dir + "/load.bmp");
        g.press(XK_F1); // saving on every pass from now on
        g.press(XK_Down);  // and the board changing, so that every pass saves
        EXPECT_TRUE(wait_new_save(dir + "/load.bmp", before));
        kill(g.pid(), sig);
        EXPECT_EQ(g.wait_exit(), 128 + sig);
        g.release(XK_Down);
        g.release(XK_F1);
        EXPECT_TRUE(whole_snapshot(dir + "/load.bmp"));
        EXPECT_EQ(g.output(), "");
        EXPECT_EQ(listing(dir), std::vector<std::string>{"load.bmp"});
    }
}

// A logout ends the X server and sends SIGTERM at the same moment. In
// whichever order they come, the game ends at once: by the signal if it
// came first, else with status 1 and one line, and the snapshot is whole.
TEST(OnX11, TheDisplayGoingAwayEndsItAtOnce)
{
    const TempDir tmp;
    const std::string &dir = tmp.path, display = getenv("DISPLAY");
    enum { SERVER_ONLY, SERVER_THEN_TERM, TERM_THEN_SERVER, SERVER_AT_REST };
    for (int round = 0; round < 12; round++) {
        const int order = round % 4;
        SCOPED_TRACE(order);
        XServer server;
        ASSERT_TRUE(server.up());
        std::unique_ptr<XGame> game;
        {
            // The game and the harness on that server; the other tests on ours.
            setenv("DISPLAY", server.name().c_str(), 1);
            struct Back {
                const std::string &to;
                ~Back() { setenv("DISPLAY", to.c_str(), 1); }
            } back{display};
            game = std::make_unique<XGame>(dir);
        }
        XGame &g = *game;
        ASSERT_TRUE(g.ready()) << g.output();
        const ino_t before = inode_of(dir + "/load.bmp");
        g.press(XK_F1);
        g.press(XK_Down);
        EXPECT_TRUE(wait_new_save(dir + "/load.bmp", before));
        if (order == SERVER_AT_REST) {
            g.release(XK_Down);
            g.release(XK_F1);
            ASSERT_TRUE(g.asleep());
        }
        g.drop_display();
        if (order == TERM_THEN_SERVER)
            kill(g.pid(), SIGTERM);
        server.kill_now();
        if (order == SERVER_THEN_TERM)
            kill(g.pid(), SIGTERM);
        const int status = g.wait_exit();
        const std::string out = g.output();
        if (order == TERM_THEN_SERVER || (order == SERVER_THEN_TERM && status != 1)) {
            EXPECT_EQ(status, 128 + SIGTERM);
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(out, "vellomar: the X display went away\n");
        }
        EXPECT_TRUE(whole_snapshot(dir + "/load.bmp"));
    }
}

// With no key held the game sleeps (a board that can't change costs
// nothing), and wakes for everything a running game answers: a tap moves a
// dot one pixel, a held key draws, an uncovered window shows the board, and
// a stop signal ends it.
TEST(EndToEnd, AtRestItSleepsAndWakesForKeysWindowAndSignals)
{
    const TempDir tmp;
    XGame g(tmp.path);
    ASSERT_TRUE(g.ready()) << g.output();
    EXPECT_TRUE(g.asleep()) << "the game keeps running passes with no key held";
    g.tap(XK_Down, 0);
    EXPECT_TRUE(g.wait_pixel(DOT1_START_X, DOT1_START_Y + DOT_RADIUS + 1, GREY)) << "a tap from rest did not act";
    EXPECT_FALSE(near(g.pixel(DOT1_START_X, DOT1_START_Y + DOT_RADIUS + 2), GREY)) << "a tap moved the dot twice";
    g.press(XK_Right);
    EXPECT_TRUE(g.wait_pixel(200, DOT1_START_Y + 1, GREY)) << "a held key did not draw from rest";
    g.release(XK_Right);
    EXPECT_TRUE(g.asleep());

    g.hide_and_show();
    EXPECT_TRUE(g.wait_pixel(200, DOT1_START_Y + 1, GREY)) << "the line was not redrawn";
    EXPECT_TRUE(g.wait_pixel(DOT2_START_X, DOT2_START_Y, LIGHT_RED));
    EXPECT_TRUE(g.wait_pixel(320, 240, BLACK));
    EXPECT_TRUE(g.asleep()) << g.output();

    kill(g.pid(), SIGTERM);
    const int status = g.wait_exit();
    if (under_wine())
        EXPECT_NE(status, -1) << "Wine's own way of ending on SIGTERM, but at once";
    else
        EXPECT_EQ(status, 128 + SIGTERM);
}

// A press and its release that both come between two passes (an on-screen
// keyboard, a remote desktop, a script) act once, even during a pass that
// takes long.
TEST(EndToEnd, TapsShorterThanAPassStillAct)
{
    const TempDir tmp;
    const std::string &dir = tmp.path;
    XGame g(dir);
    ASSERT_TRUE(g.ready()) << g.output();
    for (int i = 1; i <= 5; i++) {
        g.tap(XK_Down, 0);
        EXPECT_TRUE(g.wait_pixel(15, 20 + i, GREY)) << "tap " << i << " of Down did not move the dot";
    }
    g.tap(XK_F1, 0);
    for (int i = 0; i < 100 * patience() && !whole_snapshot(dir + "/load.bmp"); i++)
        usleep(20 * 1000);
    EXPECT_TRUE(whole_snapshot(dir + "/load.bmp")) << "a tap of F1 did not save";

    // F2 of a picture at the size bound takes a while; Esc tapped during it.
    std::ofstream big(dir + "/load.bmp", std::ios::binary | std::ios::trunc);
    const int w = 7000, h = 7000;
    const uint32_t pixels = uint32_t(w) * 3 * h, header[] = {0, 0, 54, 40, w, h, 24 << 16 | 1, 0, pixels, 0, 0, 0, 0};
    big.write("BM", 2);
    const uint32_t total = 54 + pixels;
    big.write(reinterpret_cast<const char *>(&total), 4);
    big.write(reinterpret_cast<const char *>(header) + 4, 48);
    big.seekp(54 + pixels - 1);
    big.put(0);
    big.close();
    g.tap(XK_F2, 0);
    EXPECT_TRUE(wait_open(g.pid(), dir + "/load.bmp")) << "F2 did not read the picture";
    g.tap(XK_Escape, 0);
    EXPECT_EQ(g.wait_exit(10000), 0) << "Esc tapped during a slow pass did not end the game";
}

// A tap the game could not act on (Space while D is held, any key while a
// dot is held against its limit) does nothing, then or later, and keys
// held after it act as held ones do.
TEST(EndToEnd, ATapThatCouldNotActNeverActsLaterNorHoldsKeysBack)
{
    const TempDir tmp;
    const std::string &dir = tmp.path;
    XGame g(dir);
    ASSERT_TRUE(g.ready()) << g.output();
    // Lets the game run while the grey dot draws down column 15 to `row`.
    const auto passes_until_grey_reaches = [&](int row) {
        g.press(XK_Down);
        EXPECT_TRUE(g.wait_pixel(15, row, GREY));
        g.release(XK_Down);
    };

    // D held, Space tapped, A held as well: A and D cancel, and the
    // light-red dot stands far from the right edge.
    g.press(XK_a);
    ASSERT_TRUE(g.wait_pixel(450, 465, LIGHT_RED));
    g.release(XK_a);
    g.press(XK_d);
    g.tap(XK_space, 0);
    g.press(XK_a);
    passes_until_grey_reaches(400);  // D alone would run the dot into the edge
    EXPECT_FALSE(near(g.pixel(634, 465), LIGHT_RED)) << "A held with D did not stop the light-red dot";
    // Let go, Space was no press to act on.
    g.release(XK_a);
    g.release(XK_d);
    passes_until_grey_reaches(474);  // the bottom limit
    EXPECT_TRUE(near(g.pixel(15, 100), GREY)) << "Space tapped while D was held cleared the board later";

    // The grey dot against the right edge with Right held, W tapped, Up
    // held as well: the dot climbs the edge.
    g.press(XK_Right);
    ASSERT_TRUE(g.wait_pixel(REACH_X, DOT_MAX_Y, GREY));
    g.tap(XK_w, 0);
    g.press(XK_Up);
    EXPECT_TRUE(g.wait_pixel(DOT_MAX_X, 200, GREY)) << "Up did not act while Right was held";
    g.release(XK_Up);

    // F1 and Space tapped while Right holds the pass at the limit: no save,
    // no clear, then or once Right is let go.
    g.tap(XK_F1, 0);
    g.tap(XK_space, 0);
    g.press(XK_Up);  // passes run, Right still held
    EXPECT_TRUE(g.wait_pixel(DOT_MAX_X, REACH_MIN, GREY));  // the top limit
    g.release(XK_Up);
    g.release(XK_Right);
    g.press(XK_Left);  // passes run, nothing held
    EXPECT_TRUE(g.wait_pixel(400, DOT_MIN, GREY));
    g.release(XK_Left);
    EXPECT_TRUE(near(g.pixel(15, 100), GREY)) << "Space tapped while a dot was blocked cleared the board later";
    EXPECT_EQ(listing(dir), std::vector<std::string>{}) << "F1 tapped while a dot was blocked saved later";

    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
}

// The keys labelled W, S, A, D and P act on every layout that has such
// labels; on a layout without Latin letters, the keys at their US places.
TEST(EndToEnd, TheLabelledKeysActOnEveryLayout)
{
    struct Layout {
        const char *layout, *variant;
        bool latin;
    };
    // X keycodes of the US places of W, S, A, D and P (the evdev ones that
    // Xvfb uses), and of Z, which is W's place on a French keyboard.
    enum : unsigned { AD02 = 25, AC02 = 39, AC01 = 38, AC03 = 40, AD10 = 33 };
    struct Restore {
        ~Restore() { std::system("setxkbmap -layout us"); }
    } restore;
    for (const Layout &l : {Layout{"fr", "", true}, Layout{"us", "dvorak", true}, Layout{"ru", "", false}}) {
        SCOPED_TRACE(std::string(l.layout) + " " + l.variant);
        if (!l.latin && under_wine())
            GTEST_SKIP() << "Wine reads the X keymap through the locale's character set and here can't "
                            "tell a Cyrillic-only layout, so it makes up the keys' scancodes itself";
        ASSERT_EQ(std::system(("setxkbmap -layout " + std::string(l.layout) + " -variant '" + l.variant + "'").c_str()), 0);
        Display *dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        const auto code = [&](KeySym letter, unsigned place) {
            return l.latin ? unsigned(XKeysymToKeycode(dpy, letter)) : place;
        };
        const unsigned w = code(XK_w, AD02), s = code(XK_s, AC02), a = code(XK_a, AC01), d = code(XK_d, AC03),
                       p = code(XK_p, AD10);
        XCloseDisplay(dpy);
        ASSERT_NE(w * s * a * d * p, 0u);

        const TempDir tmp;
        const std::string &dir = tmp.path;
        XGame g(dir);
        ASSERT_TRUE(g.ready()) << g.output();
        if (w != AD02) {
            // The key at the US place of W is some other letter here.
            g.press_code(AD02);
            g.press(XK_Down);  // passes run
            EXPECT_TRUE(g.wait_pixel(15, 100, GREY));
            g.release(XK_Down);
            g.release_code(AD02);
            EXPECT_FALSE(near(g.pixel(625, 455), LIGHT_RED)) << "the key at W's US place moved the dot";
        }
        if (!l.latin) {
            // No other key of the letters' rows takes a letter of the game:
            // each held while the grey dot draws ten more pixels.
            int row = 20;
            for (unsigned other = 24; other <= 61; other++) {
                if (other == w || other == s || other == a || other == d || other == p || other == 36 ||
                    other == 37 || other == 50)
                    continue;
                g.press_code(other);
                g.press(XK_Down);
                EXPECT_TRUE(g.wait_pixel(15, row += 10, GREY));
                g.release(XK_Down);
                g.release_code(other);
                for (auto [px, py] : {std::pair{625, 455}, {625, 474}, {614, 465}, {634, 465}})
                    EXPECT_FALSE(near(g.pixel(px, py), LIGHT_RED)) << "key " << other << " moved the dot";
            }
        }
        const auto hold = [&](unsigned key, int px, int py) {
            g.press_code(key);
            EXPECT_TRUE(g.wait_pixel(px, py, LIGHT_RED)) << "key " << key;
            g.release_code(key);
        };
        hold(w, 625, 400);
        hold(s, 625, 474);  // the bottom limit
        hold(d, 634, 469);  // the right limit
        hold(a, 550, 469);
        bring_back(g, 625, 400, LIGHT_RED, p);
        g.tap(XK_Escape);
        EXPECT_EQ(g.wait_exit(), 0);
    }
}

TEST(EndToEnd, KilledGamesNeverTearTheSnapshotAndWhatTheyLeftGoes)
{
    const TempDir tmp;
    const std::string &dir = tmp.path;
    for (int i = 0; i < 3; i++) {
        XGame g(dir);
        ASSERT_TRUE(g.ready()) << g.output();
        const ino_t before = inode_of(dir + "/load.bmp");
        g.press(XK_F1);
        g.press(XK_Down);
        EXPECT_TRUE(wait_new_save(dir + "/load.bmp", before));
        kill(g.pid(), SIGKILL);
        g.wait_exit();
        g.release(XK_Down);
        g.release(XK_F1);
        EXPECT_TRUE(whole_snapshot(dir + "/load.bmp"));
    }
    // Nothing can clean up after SIGKILL at the time; the next save in the
    // same directory removes what killed games left, and only that: not a
    // user's file that looks alike, nor one of a game still running. A
    // running game holds a lock on its file: on Linux here one with the
    // game's own pid, as a game in another pid namespace may have; under
    // Wine a Windows program holds it (VELLOMAR_HOLDER).
    const std::string look_alike = ".load-2024-final.bmp";
    std::vector<std::string> kept{look_alike, "load.bmp"};
    for (const std::string &f : {std::string(".load-999999-AbCdEf.bmp"), look_alike})
        std::fclose(std::fopen((dir + "/" + f).c_str(), "w"));
    XGame g(dir);
    ASSERT_TRUE(g.ready());
    const std::string alive = ".load-" + std::to_string(g.pid()) + "-AbCdEf.bmp";
    int held = -1;
    pid_t holder = -1;
    if (const char *hold = getenv("VELLOMAR_HOLDER")) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        if ((holder = fork()) == 0) {
            dup2(out[1], 1);
            close(out[0]);
            if (chdir(dir.c_str()) == 0)
                execl("/bin/sh", "sh", "-c", ("exec " + std::string(hold) + " " + alive).c_str(), (char *)nullptr);
            _exit(127);
        }
        close(out[1]);
        char said[8] = {};
        EXPECT_EQ(read(out[0], said, 4), 4);
        EXPECT_EQ(std::string(said), "held");
        close(out[0]);
        kept.push_back(alive);
    } else {
        held = open((dir + "/" + alive).c_str(), O_RDWR | O_CREAT, 0600);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        if (fcntl(held, F_OFD_SETLK, &lock) == 0)
            kept.push_back(alive);
    }
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
    if (holder > 0) {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
    close(held);
}

TEST(EndToEnd, F2AndPBringASavedBoardBack)
{
    const TempDir tmp;
    const std::string &dir = tmp.path;
    XGame g(dir);
    ASSERT_TRUE(g.ready()) << g.output();
    g.press(XK_Down);
    ASSERT_TRUE(g.wait_pixel(15, 200, GREY));
    g.release(XK_Down);
    bring_back(g, 15, 100, GREY);

    // Saved again, over the first snapshot: the second picture comes back,
    // and nothing of the first.
    g.tap(XK_space);
    ASSERT_TRUE(g.wait_pixel(15, 100, BLACK));
    g.press(XK_a);
    ASSERT_TRUE(g.wait_pixel(8, 465, LIGHT_RED));  // the light-red dot at its limit, far from the line's middle
    g.release(XK_a);
    bring_back(g, 300, 465, LIGHT_RED);
    EXPECT_TRUE(near(g.pixel(15, 100), BLACK)) << "the first save is still in the file";
    g.tap(XK_Escape);
    EXPECT_EQ(g.wait_exit(), 0);
    EXPECT_EQ(g.output(), "");
}
