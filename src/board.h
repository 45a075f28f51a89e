// The state of the game (the board, the two dots, the held picture), its
// start and end, and the frame pass that draws it.
#pragma once

#include "rules.h"

#include <allegro.h>

// Dot 1 (grey, arrow keys) and dot 2 (light red, W/S/A/D), in board pixels.
extern int x, y;
extern int x2, y2;

extern BITMAP *buffer;   // the board: a 640 x 480 memory bitmap
extern BITMAP *load;     // the held picture, or null
extern PALETTE pal;      // palette handed to the BMP writer and reader

// Start-up: library, keyboard, window and board, and the start state. On
// failure tells the player why (cannot_start()) and returns false.
bool startup();
// The game as it starts: the dots at their start places, no picture held,
// the board black with the help lines on it. Start-up ends with it.
void start_state();
// Writes the two help lines onto the board.
void write_help_lines();
// One frame pass: stamp both dots onto the board and present it.
void frame();
// Frees the held picture, if any.
void drop_held_picture();
// Frees the held picture and the board.
void shutdown();
// The library's colour for `c` on the board.
int colour(Rgb c);
// Clears the screen and the board and writes the help lines again.
void clear_board();

