// In-process test support: one real window for the whole run, and a fixture
// that puts the game back to its start-up state before each test.
#pragma once

#include "board.h"
#include "keys.h"

#include <gtest/gtest.h>

class Game : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

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
