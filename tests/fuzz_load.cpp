// The whole load path on arbitrary bytes: the check, the library's reader,
// then a paste onto a board. Built as a libFuzzer target (scripts/fuzz.sh)
// and, with replay_main.cpp, as a plain program to run files under valgrind.
#include "snapshot.h"

#include <allegro.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

static BITMAP *board;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // No display needed: only memory bitmaps are used.
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        std::abort();
    set_color_depth(16);
    board = create_bitmap(640, 480);
    if (!board)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PALETTE palette = {};  // the game's own palette buffer starts zeroed too
    BITMAP *picture = read_snapshot(data, size, palette);
    if (picture) {
        if (bitmap_color_depth(picture) != 16)
            std::abort();
        draw_sprite(board, picture, 0, 0);
        destroy_bitmap(picture);
    }
    return 0;
}
