// What the page's own code asks of the game, beside what the platform gives
// it: the file bound, the checks a picture passes before it becomes
// load.bmp, and whether a save is about to replace load.bmp.
#include "bmpcheck.h"
#include "keys.h"
#include "rules.h"
#include "snapshot.h"

#include <allegro.h>
#include <emscripten.h>

// The largest file F2 reads: the page refuses a larger one by its size,
// unread.
extern "C" EMSCRIPTEN_KEEPALIVE size_t vellomar_max_file() { return BMP_MAX_FILE; }

// The most of a file's start that vellomar_header_readable() looks at.
extern "C" EMSCRIPTEN_KEEPALIVE size_t vellomar_header_most() { return BMP_HEADER_MOST; }

// Whether a file of `size` bytes that starts with the `have` bytes at
// `head` could be read by F2 as far as its header tells: the page asks
// before it reads a dropped file, or unpacks a stored one, any further.
extern "C" EMSCRIPTEN_KEEPALIVE int vellomar_header_readable(const unsigned char *head, size_t have, size_t size)
{
    return bmp_header_is_safe(head, have, size);
}

// Whether F2 could read `size` bytes at `data`: the page asks before
// anything it did not make itself becomes load.bmp.
extern "C" EMSCRIPTEN_KEEPALIVE int vellomar_readable(const unsigned char *data, size_t size)
{
    RGB palette[PAL_SIZE];
    // At the game's depth, as F2 reads: the page asks before the game has
    // started too (a stored save at the page's start), when the library's
    // depth is still 8 and a picture would be reduced to a palette instead.
    set_color_depth(COLOR_DEPTH);
    BITMAP *bmp = size <= BMP_MAX_FILE ? read_snapshot(data, size, palette) : nullptr;
    if (bmp)
        destroy_bitmap(bmp);
    return bmp != nullptr;
}

// Whether F1 is held or tapped: its next pass saves the board over
// load.bmp, whatever was put there meanwhile.
extern "C" EMSCRIPTEN_KEEPALIVE int vellomar_saving() { return held_or_pressed(KEY_F1); }
