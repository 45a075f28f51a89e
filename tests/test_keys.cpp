// The key pass and the frame pass, driven in-process on a real window.
#include "fixture.h"
#include "platform.h"

#include <atomic>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// A pixel far from the dots and the help lines, to tell whether the board
// was cleared.
constexpr int MARK_X = 320, MARK_Y = 240;

void put_mark() { putpixel(buffer, MARK_X, MARK_Y, makecol(0, 0, 255)); }
bool mark_still_there() { return getpixel(buffer, MARK_X, MARK_Y) == makecol(0, 0, 255); }

struct Dots { int x, y, x2, y2; };
Dots dots() { return {x, y, x2, y2}; }
bool operator==(const Dots &a, const Dots &b) { return a.x == b.x && a.y == b.y && a.x2 == b.x2 && a.y2 == b.y2; }
std::ostream &operator<<(std::ostream &o, const Dots &d)
{
    return o << "(" << d.x << "," << d.y << ") (" << d.x2 << "," << d.y2 << ")";
}

// A movement key, the dot coordinate it drives, and that coordinate's limit.
struct Limit {
    const char *name;
    int key;
    int *pos;
    int limit;
    int step;
};

const Limit limits[] = {
    {"Up", KEY_UP, &y, DOT_MIN, -1},     {"Down", KEY_DOWN, &y, DOT_MAX_Y, +1},
    {"Left", KEY_LEFT, &x, DOT_MIN, -1}, {"Right", KEY_RIGHT, &x, DOT_MAX_X, +1},
    {"W", KEY_W, &y2, DOT_MIN, -1},      {"S", KEY_S, &y2, DOT_MAX_Y, +1},
    {"A", KEY_A, &x2, DOT_MIN, -1},      {"D", KEY_D, &x2, DOT_MAX_X, +1},
};

// Keys of every step, in key-pass order.
const int pass_keys[] = {KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_W, KEY_S, KEY_A, KEY_D, KEY_SPACE};

} // namespace

TEST_F(Game, NoKeyHeldChangesNothing)
{
    put_mark();
    move();
    EXPECT_EQ(dots(), (Dots{DOT1_START_X, DOT1_START_Y, DOT2_START_X, DOT2_START_Y}));
    EXPECT_TRUE(mark_still_there());
}

TEST_F(Game, EachKeyMovesItsDotOnePixelPerPassUpToItsLimit)
{
    for (const Limit &l : limits) {
        SCOPED_TRACE(l.name);
        restart();
        *l.pos = l.limit - 3 * l.step;
        hold({l.key});
        for (int pass = 1; pass <= 3; pass++) {
            move();
            EXPECT_EQ(*l.pos, l.limit - (3 - pass) * l.step);
        }
        move(); // at the limit now: stays there
        EXPECT_EQ(*l.pos, l.limit);
    }
}

// A held key whose dot stands at its limit ends the key pass: no later
// movement, no clear, whatever else is held.
TEST_F(Game, KeyAtItsLimitEndsTheKeyPass)
{
    for (size_t i = 0; i < std::size(limits); i++) {
        const Limit &l = limits[i];
        SCOPED_TRACE(l.name);
        restart();
        // Put both dots mid-board so every other key could move its dot.
        x = 300; y = 200; x2 = 400; y2 = 300;
        *l.pos = l.limit;
        put_mark();
        // Hold this key and every key of a later step (opposite keys of the
        // same dot included). Space stays up if D is held, so use it only
        // after D.
        release_all();
        key[l.key] = 1;
        for (size_t j = 0; j < std::size(pass_keys); j++)
            if (pass_keys[j] != l.key && j > i && !(pass_keys[j] == KEY_SPACE && key[KEY_D]))
                key[pass_keys[j]] = 1;
        Dots before = dots();
        move();
        EXPECT_EQ(dots(), before);
        EXPECT_TRUE(mark_still_there()) << "board was cleared";
    }
}

// A press and its release that both fall between two passes, as the
// library's keyboard handler reports them.
TEST_F(Game, ATapBetweenTwoPassesActsOnce)
{
    const auto tap = [](int k) {
        keyboard_lowlevel_callback(k);
        keyboard_lowlevel_callback(k | 0x80);
    };
    tap(KEY_RIGHT);
    tap(KEY_S);
    move();
    EXPECT_EQ(dots(), (Dots{16, 15, 625, 466}));
    move();
    EXPECT_EQ(dots(), (Dots{16, 15, 625, 466})) << "a tap acted twice";

    // Taps that fall between the same two reads act in the order pressed:
    // Space tapped before A clears first, and A moves its dot a pass later.
    put_mark();
    tap(KEY_SPACE);
    tap(KEY_A);
    move();
    EXPECT_FALSE(mark_still_there());
    EXPECT_EQ(x2, 625);
    move();
    EXPECT_EQ(x2, 624);

    // At its limit a tapped key ends the key pass, as a held one does.
    x = 300;
    y = DOT_MIN;
    put_mark();
    tap(KEY_UP);
    key[KEY_LEFT] = key[KEY_SPACE] = 1;
    move();
    EXPECT_EQ(x, 300);
    EXPECT_TRUE(mark_still_there());
}

TEST_F(Game, StepsBeforeABlockedKeyStillRun)
{
    x = DOT_MAX_X; y = 100;
    hold({KEY_UP, KEY_RIGHT, KEY_W});
    move();
    EXPECT_EQ(y, 99);         // step 1 ran
    EXPECT_EQ(x, DOT_MAX_X);  // step 4 blocked...
    EXPECT_EQ(y2, 465);       // ...so step 5 did not run
}

TEST_F(Game, OppositeKeysCancelInsideTheLimits)
{
    x = 300; y = 200; x2 = 400; y2 = 300;
    hold({KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_W, KEY_S, KEY_A, KEY_D});
    move();
    EXPECT_EQ(dots(), (Dots{300, 200, 400, 300}));
}

TEST_F(Game, OppositeKeysAtTheLowLimitBlockBeforeTheOtherRuns)
{
    y = DOT_MIN;
    hold({KEY_UP, KEY_DOWN, KEY_RIGHT});
    move();
    EXPECT_EQ(y, DOT_MIN); // Down never ran: it would have made 12
    EXPECT_EQ(x, 15);
}

TEST_F(Game, BothDotsMoveDiagonallyInOnePass)
{
    hold({KEY_DOWN, KEY_RIGHT, KEY_W, KEY_A});
    move();
    EXPECT_EQ(dots(), (Dots{16, 16, 624, 464}));
}

TEST_F(Game, SpaceClearsBoardAndScreenAndRewritesTheTitle)
{
    x = 100; y = 100;
    frame();
    put_mark();
    rectfill(buffer, 0, 0, 200, 20, makecol(0, 255, 0)); // scribble over the help lines
    hold({KEY_SPACE});
    move();

    EXPECT_FALSE(mark_still_there());
    EXPECT_EQ(getpixel(buffer, 100, 100), black()) << "old dot stamp survived";
    EXPECT_EQ(dots(), (Dots{100, 100, 625, 465})) << "a clear must not move the dots";
    Rgb s = screen_rgb(MARK_X, MARK_Y);
    EXPECT_GT(s.r + s.g + s.b, 3 * 240) << "screen is white until the next present";

    // The help lines are back, red glyphs on black cells, and nothing else.
    int reds = 0, greens = 0;
    for (int py = 0; py < 21; py++)
        for (int px = 0; px <= 200; px++) {
            reds += getpixel(buffer, px, py) == red();
            greens += getpixel(buffer, px, py) == makecol(0, 255, 0);
        }
    EXPECT_GT(reds, 100);
    EXPECT_EQ(greens, 0);

    // Space held goes on clearing on every pass.
    put_mark();
    move();
    EXPECT_FALSE(mark_still_there());
}

TEST_F(Game, DHeldSuppressesSpace)
{
    put_mark();
    x2 = 300;
    hold({KEY_D, KEY_SPACE});
    move();
    EXPECT_EQ(x2, 301);
    EXPECT_TRUE(mark_still_there());

    x2 = DOT_MAX_X;
    move();
    EXPECT_EQ(x2, DOT_MAX_X);
    EXPECT_TRUE(mark_still_there());

    // A, the other key of the same axis, does not suppress it.
    x2 = 300;
    hold({KEY_A, KEY_SPACE});
    move();
    EXPECT_EQ(x2, 299);
    EXPECT_FALSE(mark_still_there());
}

TEST_F(Game, HelpLinesSitInTheirGlyphCells)
{
    // First line: 40 characters of 8 x 8 at (0, 0); second: 50 at (0, 10).
    auto reds_in = [](int x0, int y0, int x1, int y1) {
        int n = 0;
        for (int py = y0; py <= y1; py++)
            for (int px = x0; px <= x1; px++)
                n += getpixel(buffer, px, py) == red();
        return n;
    };
    EXPECT_GT(reds_in(0, 0, 319, 7), 0);
    EXPECT_GT(reds_in(0, 10, 399, 17), 0);
    EXPECT_EQ(reds_in(320, 0, 639, 9), 0);
    EXPECT_EQ(reds_in(400, 8, 639, 479), 0);
    EXPECT_EQ(reds_in(0, 18, 639, 479), 0);
    EXPECT_EQ(reds_in(0, 8, 639, 9), 0);
}

TEST_F(Game, FrameStampsBothDotsGreyOnTopAndPresents)
{
    frame();
    EXPECT_EQ(getpixel(buffer, 15, 15), grey());
    EXPECT_EQ(getpixel(buffer, 625, 465), light_red());
    // Radius 5: rows and columns 10..20 around (15, 15).
    EXPECT_EQ(getpixel(buffer, 15, 10), grey());
    EXPECT_EQ(getpixel(buffer, 20, 15), grey());
    EXPECT_NE(getpixel(buffer, 15, 21), grey());
    EXPECT_NE(getpixel(buffer, 21, 15), grey());

    Rgb s = screen_rgb(15, 15);
    EXPECT_NEAR(s.r, 150, 8);
    EXPECT_NEAR(s.g, 150, 8);
    s = screen_rgb(625, 465);
    EXPECT_NEAR(s.r, 255, 8);
    EXPECT_NEAR(s.g, 50, 8);

    // Both dots on one place: dot 1 is drawn last and covers dot 2.
    x2 = 200; y2 = 200; x = 200; y = 200;
    frame();
    EXPECT_EQ(getpixel(buffer, 200, 200), grey());
    EXPECT_EQ(getpixel(buffer, 204, 200), grey());
}

TEST_F(Game, HeldKeyDrawsAContinuousTrailElevenPixelsWide)
{
    x = 100; y = 100;
    hold({KEY_RIGHT});
    for (int pass = 0; pass < 50; pass++) {
        frame();
        move();
    }
    release_all();
    frame();
    EXPECT_EQ(x, 150);
    for (int px = 95; px <= 155; px++)
        EXPECT_EQ(getpixel(buffer, px, 100), grey()) << px;
    EXPECT_NE(getpixel(buffer, 94, 100), grey());
    EXPECT_NE(getpixel(buffer, 156, 100), grey());
    for (int px = 100; px <= 150; px++) {
        EXPECT_EQ(getpixel(buffer, px, 95), grey()) << px;
        EXPECT_EQ(getpixel(buffer, px, 105), grey()) << px;
        EXPECT_NE(getpixel(buffer, px, 94), grey()) << px;
        EXPECT_NE(getpixel(buffer, px, 106), grey()) << px;
    }
}

TEST_F(Game, MaskColouredBoardPixelsLeaveTheScreenAlone)
{
    clear_to_color(screen, makecol(255, 255, 255));
    putpixel(buffer, MARK_X, MARK_Y, makecol(255, 0, 255));
    frame();
    Rgb s = screen_rgb(MARK_X, MARK_Y);
    EXPECT_GT(s.r + s.g + s.b, 3 * 240);
    s = screen_rgb(MARK_X + 1, MARK_Y);
    EXPECT_LT(s.r + s.g + s.b, 10);
}

namespace {
// Whether this process's main thread is asleep in the kernel.
bool main_thread_asleep()
{
    std::ifstream stat("/proc/self/task/" + std::to_string(getpid()) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

// Waits for wake_game() on this thread while another one, once this one
// sleeps, reports `k` as the keyboard's handler does; whether the wait
// lasted until that report.
bool rest_until_reported(int k)
{
    wake_game();
    wait_for_wake();  // takes any wake-up left from before
    std::atomic<bool> reported{false};
    std::thread keyboard([&] {
        while (!main_thread_asleep())
            std::this_thread::yield();
        reported = true;
        keyboard_lowlevel_callback(k);
    });
    wait_for_wake();
    const bool waited = reported;
    keyboard.join();
    return waited;
}
} // namespace

// After a pass that changed nothing, with no key held and no press waiting,
// the game sleeps until the keyboard reports a press or a release. Never
// while anything could change: its passes go on as they were.
TEST_F(Game, TheGameRestsOnlyWhenNoPassCouldChangeAnything)
{
    move();
    EXPECT_TRUE(nothing_to_do());
    EXPECT_TRUE(rest_until_reported(KEY_Q)) << "a press of any key wakes it";
    EXPECT_TRUE(rest_until_reported(KEY_Q | 0x80)) << "and so does a release";
    release_all();

    const auto after = [](std::function<void()> set_up, bool pass = true) {
        release_all();
        set_up();
        if (pass)
            move();
        return nothing_to_do();
    };
    const auto tap = [](int k) {
        keyboard_lowlevel_callback(k);
        keyboard_lowlevel_callback(k | 0x80);
    };
    EXPECT_FALSE(after([&] { tap(KEY_DOWN); }, false)) << "a tap noted, not yet acted on";
    EXPECT_FALSE(after([&] { tap(KEY_DOWN); })) << "the pass that moved a dot shows it only in the next one";
    EXPECT_FALSE(after([&] { tap(KEY_P), tap(KEY_SPACE); })) << "Space waits a pass behind P";
    EXPECT_FALSE(after([] { key[KEY_F1] = 1; })) << "F1 held saves whenever the board or the file changes";
    EXPECT_FALSE(after([] { x = DOT_MAX_X, key[KEY_RIGHT] = 1; })) << "a key held at its limit";
    EXPECT_FALSE(after([] { x2 = DOT_MAX_X, key[KEY_D] = key[KEY_SPACE] = 1; })) << "Space held behind D";
    EXPECT_FALSE(after([] { key[KEY_ESC] = 1; }, false));
    EXPECT_TRUE(after([] { key[KEY_Q] = 1; })) << "a key the game does not read";
    EXPECT_TRUE(after([&] { tap(KEY_DOWN), move(); })) << "the pass after a tap";
    release_all();
}
