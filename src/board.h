// Shared state of the game: the board, the two dots, the held picture,
// and the passes that work on them.
#pragma once

#include <allegro.h>

// The window and the board behind it.
constexpr int BOARD_W = 640;
constexpr int BOARD_H = 480;
constexpr int COLOR_DEPTH = 16;

// A dot is a filled disc; its centre never comes closer to an edge than
// DOT_MIN, so the whole disc always lies on the board.
constexpr int DOT_RADIUS = 5;
constexpr int DOT_MIN = 11;
constexpr int DOT_MAX_X = 629;
constexpr int DOT_MAX_Y = 469;

// The snapshot file, in the current directory.
constexpr const char *SNAPSHOT_FILE = "load.bmp";

// Dot 1 (grey, arrow keys) and dot 2 (light red, W/S/A/D), in board pixels.
extern int x, y;
extern int x2, y2;

extern BITMAP *buffer;   // the board: a 640 x 480 memory bitmap
extern BITMAP *load;     // the held picture, or null
extern PALETTE pal;      // palette handed to the BMP writer and reader

// Start-up: library, keyboard, window and board. On failure prints one line
// to stderr and returns false.
bool startup();
// Writes the two help lines onto the board.
void title();
// One frame pass: stamp both dots onto the board and present it.
void frame();
// Frees the held picture and the board.
void shutdown();

// The snapshot steps of the key pass: F1 saves the board to SNAPSHOT_FILE
// and holds a view onto it, F2 reads the file back into the held picture
// (none if it can't be read), P pastes the held picture, if any.
void save_snapshot();
void load_snapshot();
void paste_snapshot();
