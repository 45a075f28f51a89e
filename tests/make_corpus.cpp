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
    } else {
        for (const Hostile &h : hostile_files())
            ok &= write_file(dir + "/" + h.name + ".bmp", h.bytes);
    }
    return ok ? 0 : 1;
}
