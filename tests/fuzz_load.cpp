// The whole load path on arbitrary bytes: the check, the library's reader,
// then a paste onto a board. Built as a libFuzzer target (scripts/fuzz.sh)
// and, with replay_main.cpp, as a plain program to run files under valgrind.
#include "bmpcheck.h"
#include "snapshot.h"

#include <allegro.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

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

#ifdef FUZZ_MAX_PIXELS
// Under the fuzzer, only pictures of a few megapixels go on to the library.
// For a larger one, which a run-length file of a few bytes can declare, the
// library spends a second allocating and converting it, the same second
// for every such input, and a fuzzer busy with those finds nothing else.
// Our own check and rewrite still run on every input; the regression corpus
// and the valgrind replay take large pictures all the way.
static bool too_large_to_fuzz(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> rewritten;
    const BmpBytes b = bmp_for_reader(data, size, rewritten);
    if (!b.data)
        return false;
    // Checked, and in the reader's form: a 12-byte header or a 40-byte one.
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; i--)
            v = v << 8 | b.data[at + i];
        return int64_t(v);
    };
    const bool os2 = le(14, 4) == 12;
    return (os2 ? le(18, 2) * le(20, 2) : le(18, 4) * le(22, 4)) > FUZZ_MAX_PIXELS;
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
#ifdef FUZZ_MAX_PIXELS
    if (too_large_to_fuzz(data, size))
        return 0;
#endif
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
