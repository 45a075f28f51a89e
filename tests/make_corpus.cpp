// Writes the valid and hostile sample files into a directory: seeds for the
// fuzzer, and the regression corpus under tests/corpus.
#include "bmpgen.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3 || (std::string(argv[1]) != "valid" && std::string(argv[1]) != "hostile")) {
        std::fprintf(stderr, "usage: make_corpus valid|hostile DIR\n");
        return 2;
    }
    const std::string dir = argv[2];
    bool ok = true;
    if (std::string(argv[1]) == "valid") {
        for (const BmpSpec &s : valid_kinds())
            ok &= write_file(dir + "/" + s.name() + ".bmp", make_bmp(s));
        for (BmpSpec s : {BmpSpec{37, 23, 16}, BmpSpec{37, 23, 16, BmpKind::Bitfields},
                          BmpSpec{37, 23, 32, BmpKind::Bitfields}, BmpSpec{700, 3, 8, BmpKind::Rle}})
            ok &= write_file(dir + "/" + s.name() + ".bmp", make_bmp(s));
        // The forms other tools write: larger headers, rows from the top.
        for (BmpSpec s : {BmpSpec{37, 23, 24}, BmpSpec{37, 23, 8, BmpKind::Rle}, BmpSpec{37, 23, 4, BmpKind::Rle},
                          BmpSpec{37, 23, 32, BmpKind::Bitfields}, BmpSpec{37, 23, 8}}) {
            ok &= write_file(dir + "/v5_" + s.name() + ".bmp", with_info(make_bmp(s), 124));
            ok &= write_file(dir + "/v4_" + s.name() + ".bmp", with_info(make_bmp(s), 108));
        }
        for (BmpSpec s : {BmpSpec{37, 23, 24}, BmpSpec{37, 23, 1}, BmpSpec{37, 23, 16, BmpKind::Bitfields}}) {
            s.top_down = true;
            ok &= write_file(dir + "/" + s.name() + ".bmp", make_bmp(s));
        }
        // Bit fields in other layouts, a palette before the pixels, OS/2 2.x
        // headers, and an OS/2 1.x palette shorter than its depth allows.
        const uint32_t layouts[][4] = {{16, 0xf00, 0x0f0, 0x00f},         {16, 0x0c, 0x03, 0x30},
                                       {16, 0xe000, 0x1ff8, 0x0007},     {32, 0xff, 0xff00, 0xff0000},
                                       {32, 0x3ff00000, 0xffc00, 0x3ff}, {32, 0x7ff, 0x3ff800, 0xffc00000}};
        for (const auto &l : layouts) {
            BmpSpec s{37, 23, int(l[0]), BmpKind::Bitfields};
            s.masks[0] = l[1], s.masks[1] = l[2], s.masks[2] = l[3];
            const std::string name = dir + "/fields_" + std::to_string(l[1]) + "_" + std::to_string(l[3]);
            ok &= write_file(name + ".bmp", make_bmp(s));
            ok &= write_file(name + "_v5.bmp", with_info(make_bmp(s), 124));
        }
        ok &= write_file(dir + "/palette_before_565.bmp", with_gap(make_bmp({37, 23, 16, BmpKind::Bitfields}), 1024));
        ok &= write_file(dir + "/gap_before_24.bmp", with_gap(make_bmp({37, 23, 24}), 10));
        for (uint32_t info : {16u, 24u, 64u}) {
            ok &= write_file(dir + "/os2_v2_" + std::to_string(info) + "_24.bmp", with_info(make_bmp({37, 23, 24}), info));
            ok &= write_file(dir + "/os2_v2_" + std::to_string(info) + "_rle8.bmp",
                             with_info(make_bmp({37, 23, 8, BmpKind::Rle}), info));
        }
        Bytes short_palette = make_bmp({37, 23, 8, BmpKind::Os2});
        short_palette.erase(short_palette.begin() + 26 + 3 * 100, short_palette.begin() + 26 + 3 * 256);
        put32(short_palette, 2, uint32_t(short_palette.size()));
        put32(short_palette, 10, 26 + 3 * 100);
        ok &= write_file(dir + "/os2_short_palette.bmp", short_palette);
    } else {
        for (const Hostile &h : hostile_files())
            ok &= write_file(dir + "/" + h.name + ".bmp", h.bytes);
    }
    return ok ? 0 : 1;
}
