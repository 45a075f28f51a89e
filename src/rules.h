// The game's fixed sizes, colours, places and limits, named once. Nothing
// here depends on the library, so the end-to-end tests, which only look at
// the window, use the same names.
#pragma once

// The window and the board behind it.
constexpr int BOARD_W = 640;
constexpr int BOARD_H = 480;
constexpr int COLOR_DEPTH = 16;

// A dot is a filled disc. Its centre keeps a disc's width and one pixel
// from every edge, so the whole disc always lies on the board with room
// to spare: 11..629 across, 11..469 down.
constexpr int DOT_RADIUS = 5;
constexpr int DOT_MARGIN = 2 * DOT_RADIUS + 1;
constexpr int DOT_MIN = DOT_MARGIN;
constexpr int DOT_MAX_X = BOARD_W - DOT_MARGIN;
constexpr int DOT_MAX_Y = BOARD_H - DOT_MARGIN;

// Where the dots stand at the start: dot 1 (grey, arrow keys) near the top
// left corner, dot 2 (light red, W/S/A/D) near the bottom right one.
constexpr int DOT1_START_X = 15, DOT1_START_Y = 15;
constexpr int DOT2_START_X = BOARD_W - 15, DOT2_START_Y = BOARD_H - 15;

struct Rgb {
    int r, g, b;
};
constexpr Rgb GREY{150, 150, 150};      // dot 1
constexpr Rgb LIGHT_RED{255, 50, 50};   // dot 2
constexpr Rgb HELP_RED{255, 0, 0};      // the two help lines
constexpr Rgb BLACK{0, 0, 0};           // the board
constexpr Rgb WHITE{255, 255, 255};     // the screen, for a moment, at a clear

// The help lines, one text row (8 pixels and 2 between) apart.
constexpr const char *HELP_LINE_1 = "Vellomar: press space to clear the board";
constexpr const char *HELP_LINE_2 = "use the W, S, A, D and arrow keys to move the dots";
constexpr int HELP_ROW = 10;

// The snapshot file, in the current directory.
constexpr const char *SNAPSHOT_FILE = "load.bmp";
