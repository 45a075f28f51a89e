// Writes BMP files of every kind the game should read, with a known picture,
// so tests can check what a load delivers pixel by pixel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

enum class BmpKind { Rgb, Rle, Os2, Bitfields };

struct BmpSpec {
    int w, h, bpp;
    BmpKind kind = BmpKind::Rgb;
    bool top_down = false;  // rows stored from the top (a negative height)
    // Bit fields in another layout: red, green and blue masks (0: the usual).
    uint32_t masks[3] = {0, 0, 0};
    std::string name() const;
};

Bytes make_bmp(const BmpSpec &s);
// The colour the file holds at (px, py), counted from the top-left, 0xRRGGBB.
uint32_t bmp_pixel(const BmpSpec &s, int px, int py);

// The same picture behind a larger Windows header (108 bytes: v4, 124: v5).
Bytes with_info(const Bytes &plain, uint32_t info);

// The same picture with `gap` bytes (a palette, say) between its header,
// masks and palette and its pixels, where the file's pixel offset says.
Bytes with_gap(const Bytes &plain, size_t gap);

// A small run-length picture with `stream` in place of its pixels.
Bytes rle_with(int bpp, int w, int h, const Bytes &stream);

// One of each kind the game must keep reading.
std::vector<BmpSpec> valid_kinds();

// Little-endian field writers, for tests that build hostile files by hand.
void put16(Bytes &b, size_t at, uint16_t v);
void put32(Bytes &b, size_t at, uint32_t v);

bool write_file(const std::string &path, const Bytes &b);
Bytes read_file(const std::string &path);

// Broken and hostile files, each of a kind that has crashed, hung or
// misled the library's reader, or that breaks a rule the check enforces.
struct Hostile {
    std::string name;
    Bytes bytes;
};
std::vector<Hostile> hostile_files();
