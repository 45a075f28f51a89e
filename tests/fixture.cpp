#include "fixture.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

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
    char folder[] = "/tmp/vellomar-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    release_all();
    start_state();
}

void Game::TearDown()
{
    release_all();
    start_state();
    if (chdir("/") == 0)
        std::system(("umount -q " + dir_ + "/disk 2>/dev/null; rm -rf " + dir_).c_str());
}

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
