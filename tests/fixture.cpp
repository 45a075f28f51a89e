#include "fixture.h"

#include <cstring>

namespace {
struct Window : ::testing::Environment {
    void SetUp() override
    {
        ASSERT_TRUE(startup()) << "no window (is DISPLAY set?)";
        watch_presses();
    }
    void TearDown() override { shutdown(); }
};
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Window);
    return RUN_ALL_TESTS();
}

void Game::SetUp()
{
    release_all();
    start_state();
}

void Game::TearDown() { release_all(); }

void Game::hold(std::initializer_list<int> keys)
{
    release_all();
    for (int k : keys)
        key[k] = 1;
}

void Game::release_all()
{
    for (int k = 0; k < KEY_MAX; k++)
        key[k] = 0;
    forget_presses();
}

int grey() { return colour(GREY); }
int light_red() { return colour(LIGHT_RED); }
int red() { return colour(HELP_RED); }
int black() { return colour(BLACK); }

Rgb screen_rgb(int px, int py)
{
    int c = getpixel(screen, px, py);
    return {getr(c), getg(c), getb(c)};
}
