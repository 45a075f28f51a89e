// A check of a BMP file before the library's reader sees it, and a rewrite
// of the forms that reader does not know into one it does. The reader
// trusts its input: a run-length stream that runs past the picture, or
// dimensions that overflow, corrupt memory, and absurd dimensions in a small
// file make it read for a very long time. Anything that fails this check is
// treated like an unreadable file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Largest picture the game will read: real photos fit, absurd sizes don't.
constexpr int32_t BMP_MAX_SIDE = 16384;
constexpr int64_t BMP_MAX_PIXELS = 50'000'000;
// Largest file it will read (the largest picture above, uncompressed at
// 32 bits, fits with room to spare).
constexpr size_t BMP_MAX_FILE = 256u << 20;

// True if `data` is a BMP file of a kind the game reads, whose dimensions
// are within bounds and whose palette and pixel data lie inside the file.
bool bmp_is_safe(const unsigned char *data, size_t size);

// Whether a file of `size` bytes that begins with the `have` bytes at
// `head` passes every part of that check that its pixels play no part in:
// false for all that fails at its header, masks or palette's place, or its
// size. BMP_HEADER_MOST bytes are enough to decide.
constexpr size_t BMP_HEADER_MOST = 1024;
bool bmp_header_is_safe(const unsigned char *head, size_t have, size_t size);

// The bytes to hand to the library's reader for `data`: `data` itself when
// the reader knows its form as it is (a 40-byte or 12-byte header, rows
// stored bottom-up, no run-length stream), otherwise the same picture
// rewritten into that form in `rewritten`, with a run-length stream coded
// again so that every run stays inside the picture. Null data if the file
// fails the check.
struct BmpBytes {
    const unsigned char *data;
    size_t size;
};
BmpBytes bmp_for_reader(const unsigned char *data, size_t size, std::vector<unsigned char> &rewritten);
