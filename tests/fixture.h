// In-process test support: one real window for the whole run, and a fixture
// that puts the game back to its start-up state before each test, in a
// folder of the test's own, which is where the game reads and writes its
// snapshot (removed after the test).
#pragma once

#include "board.h"
#include "keys.h"

#include <gtest/gtest.h>
#include <string>

class Game : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_;  // the test's folder

    // The game as it starts again, in the same folder.
    static void restart()
    {
        release_all();
        start_state();
    }
    // Hold exactly these keys (all others up).
    static void hold(std::initializer_list<int> keys);
    static void release_all();
};

// The colours the game draws with, as they read back from a 16-bit bitmap.
int grey();
int light_red();
int red();
int black();

// Colour of a screen pixel as 8-bit channels.
Rgb screen_rgb(int px, int py);
