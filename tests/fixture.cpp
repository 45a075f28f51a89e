#include "fixture.h"

#include <cstring>

namespace {
struct Window : ::testing::Environment {
    void SetUp() override { ASSERT_TRUE(startup()) << "no window (is DISPLAY set?)"; }
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
    x = 15; y = 15; x2 = 625; y2 = 465;
    if (load) {
        destroy_bitmap(load);
        load = nullptr;
    }
    clear_to_color(buffer, black());
    title();
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

int grey() { return makecol(150, 150, 150); }
int light_red() { return makecol(255, 50, 50); }
int red() { return makecol(255, 0, 0); }
int black() { return makecol(0, 0, 0); }

Rgb screen_rgb(int px, int py)
{
    int c = getpixel(screen, px, py);
    return {getr(c), getg(c), getb(c)};
}
