// The real binary on the test display: real key events, real pixels.
#include <gtest/gtest.h>  // before Xlib, whose macros clash with it

#include "xgame.h"

#include <X11/keysym.h>
#include <algorithm>

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
    // The old trail is gone, while the dots stand where they were.
    ASSERT_TRUE(g.wait_pixel(15, 30, BLACK));
    EXPECT_TRUE(g.wait_pixel(625, 465, LIGHT_RED));
    EXPECT_TRUE(near(g.pixel(320, 240), BLACK));
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
