#include "bmpgen.h"

#include <cstdio>

namespace {
constexpr int FILE_HEADER = 14;

uint32_t rgb(int r, int g, int b) { return uint32_t((r & 255) << 16 | (g & 255) << 8 | (b & 255)); }

uint32_t palette_entry(int i) { return rgb(i * 67, i * 151 + 40, i * 29 + 90); }

int colours(const BmpSpec &s) { return s.bpp <= 8 ? 1 << s.bpp : 0; }

// Stretches of equal pixels alternate with stretches of differing ones,
// 3 to 6 pixels long depending on the row, so run-length files use both of
// their codings with every alignment.
int index_at(const BmpSpec &s, int px, int py)
{
    if ((px / (3 + py % 4)) % 2)
        return (px * 7 + py * 3) % colours(s);
    return (px / 3 + (py / 2) * 5) % colours(s);
}

void push16(Bytes &b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void push32(Bytes &b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

// Packs one row of an uncompressed picture, padded to four bytes.
Bytes row(const BmpSpec &s, int py)
{
    Bytes out;
    if (s.bpp <= 8) {
        int acc = 0, bits = 0;
        for (int px = 0; px < s.w; px++) {
            acc = acc << s.bpp | index_at(s, px, py);
            bits += s.bpp;
            if (bits == 8) {
                out.push_back(uint8_t(acc));
                acc = bits = 0;
            }
        }
        if (bits)
            out.push_back(uint8_t(acc << (8 - bits)));
    } else {
        for (int px = 0; px < s.w; px++) {
            uint32_t c = bmp_pixel(s, px, py);
            int r = c >> 16 & 255, g = c >> 8 & 255, b = c & 255;
            if (s.masks[0]) {
                // Each channel rounded to its own width and put in its place.
                uint32_t v = 0;
                for (int i = 0; i < 3; i++) {
                    const uint32_t m = s.masks[i], low = m & -m, max = m / low;
                    v |= uint32_t((uint64_t((c >> (16 - 8 * i)) & 255) * max + 127) / 255) * low;
                }
                for (int i = 0; i < s.bpp / 8; i++)
                    out.push_back(uint8_t(v >> (8 * i)));
            } else if (s.bpp == 16)
                push16(out, uint16_t((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3)));
            else {
                out.insert(out.end(), {uint8_t(b), uint8_t(g), uint8_t(r)});
                if (s.bpp == 32)
                    out.push_back(0);
            }
        }
    }
    while (out.size() % 4)
        out.push_back(0);
    return out;
}

// Run-length codes one row: runs of equal pixels, and stretches of
// differing ones in absolute mode, so that both codings are exercised.
void rle_row(const BmpSpec &s, int py, Bytes &out)
{
    const bool four = s.bpp == 4;
    int px = 0;
    while (px < s.w) {
        int run = 1;
        while (px + run < s.w && run < 255 && index_at(s, px + run, py) == index_at(s, px, py))
            run++;
        if (run >= 2) {
            int v = index_at(s, px, py);
            out.insert(out.end(), {uint8_t(run), uint8_t(four ? v << 4 | v : v)});
            px += run;
            continue;
        }
        // A stretch of at least three differing pixels goes in absolute mode.
        int n = 1;
        while (px + n < s.w && n < 254 && (px + n + 1 >= s.w || index_at(s, px + n, py) != index_at(s, px + n + 1, py)))
            n++;
        if (n < 3) {
            out.insert(out.end(), {1, uint8_t(four ? index_at(s, px, py) << 4 : index_at(s, px, py))});
            px++;
            continue;
        }
        out.insert(out.end(), {0, uint8_t(n)});
        size_t start = out.size();
        for (int i = 0; i < n; i++) {
            int v = index_at(s, px + i, py);
            if (!four)
                out.push_back(uint8_t(v));
            else if (i % 2 == 0)
                out.push_back(uint8_t(v << 4));
            else
                out.back() |= uint8_t(v);
        }
        if ((out.size() - start) % 2)
            out.push_back(0);
        px += n;
    }
}
} // namespace

std::string BmpSpec::name() const
{
    const char *k[] = {"rgb", "rle", "os2", "bitfields"};
    return std::string(k[int(kind)]) + std::to_string(bpp) + "_" + std::to_string(w) + "x" + std::to_string(h) +
           (top_down ? "_top_down" : "");
}

uint32_t bmp_pixel(const BmpSpec &s, int px, int py)
{
    if (s.bpp <= 8)
        return palette_entry(index_at(s, px, py));
    return rgb(px * 7, py * 13, (px + py) * 5);
}

Bytes make_bmp(const BmpSpec &s)
{
    const bool os2 = s.kind == BmpKind::Os2;
    const int info = os2 ? 12 : 40;
    const int masks = s.kind == BmpKind::Bitfields ? 12 : 0;
    const int entry = os2 ? 3 : 4;

    Bytes pal;
    for (int i = 0; i < colours(s); i++) {
        uint32_t c = palette_entry(i);
        pal.insert(pal.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
        if (entry == 4)
            pal.push_back(0);
    }
    Bytes data;
    for (int i = 0; i < s.h; i++) {
        const int py = s.top_down ? i : s.h - 1 - i;
        if (s.kind == BmpKind::Rle) {
            rle_row(s, py, data);
            data.insert(data.end(), {0, uint8_t(i < s.h - 1 ? 0 : 1)}); // end of line, end of picture
        } else {
            Bytes r = row(s, py);
            data.insert(data.end(), r.begin(), r.end());
        }
    }

    const uint32_t off = uint32_t(FILE_HEADER + info + masks + pal.size());
    Bytes b{'B', 'M'};
    push32(b, uint32_t(off + data.size()));
    push32(b, 0);
    push32(b, off);
    push32(b, uint32_t(info));
    if (os2) {
        push16(b, uint16_t(s.w));
        push16(b, uint16_t(s.h));
        push16(b, 1);
        push16(b, uint16_t(s.bpp));
    } else {
        push32(b, uint32_t(s.w));
        push32(b, uint32_t(s.top_down ? -s.h : s.h));
        push16(b, 1);
        push16(b, uint16_t(s.bpp));
        uint32_t comp = s.kind == BmpKind::Bitfields ? 3 : s.kind == BmpKind::Rle ? (s.bpp == 8 ? 1 : 2) : 0;
        push32(b, comp);
        push32(b, uint32_t(data.size()));
        push32(b, 2835);
        push32(b, 2835);
        push32(b, uint32_t(colours(s)));
        push32(b, 0);
    }
    if (masks) {
        if (s.masks[0]) {
            for (uint32_t m : s.masks)
                push32(b, m);
        } else if (s.bpp == 16) {
            push32(b, 0x7c00);
            push32(b, 0x03e0);
            push32(b, 0x001f);
        } else {
            push32(b, 0xff0000);
            push32(b, 0x00ff00);
            push32(b, 0x0000ff);
        }
    }
    b.insert(b.end(), pal.begin(), pal.end());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

std::vector<BmpSpec> valid_kinds()
{
    return {
        {37, 23, 1},
        {37, 23, 4},
        {37, 23, 8},
        {37, 23, 24},
        {37, 23, 32},
        {37, 23, 4, BmpKind::Rle},
        {37, 23, 8, BmpKind::Rle},
        {37, 23, 1, BmpKind::Os2},
        {37, 23, 4, BmpKind::Os2},
        {37, 23, 8, BmpKind::Os2},
        {37, 23, 24, BmpKind::Os2},
    };
}

Bytes with_info(const Bytes &plain, uint32_t info)
{
    // Masks that follow a 40-byte header sit inside the larger ones.
    const size_t old_end = 54 + (plain[30] == 3 ? 12 : 0);
    Bytes b(plain.begin(), plain.begin() + long(old_end));
    b.resize(14 + info, 0);
    b.insert(b.end(), plain.begin() + long(old_end), plain.end());
    const uint32_t grown = uint32_t(b.size() - plain.size());
    put32(b, 2, uint32_t(b.size()));
    put32(b, 10, uint32_t(plain[10] | plain[11] << 8 | plain[12] << 16) + grown);
    put32(b, 14, info);
    return b;
}

Bytes with_gap(const Bytes &plain, size_t gap)
{
    const size_t off = plain[10] | plain[11] << 8;
    Bytes b(plain.begin(), plain.begin() + long(off));
    for (size_t i = 0; i < gap; i++)
        b.push_back(uint8_t(i * 37));
    b.insert(b.end(), plain.begin() + long(off), plain.end());
    put32(b, 2, uint32_t(b.size()));
    put32(b, 10, uint32_t(off + gap));
    return b;
}

void put16(Bytes &b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void put32(Bytes &b, size_t at, uint32_t v)
{
    put16(b, at, uint16_t(v));
    put16(b, at + 2, uint16_t(v >> 16));
}

bool write_file(const std::string &path, const Bytes &b)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = b.empty() || std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

Bytes read_file(const std::string &path)
{
    Bytes b;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return b;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        b.push_back(uint8_t(c));
    std::fclose(f);
    return b;
}

Bytes rle_with(int bpp, int w, int h, const Bytes &stream)
{
    Bytes b = make_bmp({w, h, bpp, BmpKind::Rle});
    const size_t off = b[10] | b[11] << 8;
    b.resize(off);
    b.insert(b.end(), stream.begin(), stream.end());
    put32(b, 2, uint32_t(b.size()));
    return b;
}

namespace {
Bytes with32(Bytes b, size_t at, uint32_t v)
{
    put32(b, at, v);
    return b;
}
} // namespace

std::vector<Hostile> hostile_files()
{
    const Bytes rgb8 = make_bmp({16, 4, 8}), rgb24 = make_bmp({16, 4, 24});
    Bytes truncated = rgb24;
    truncated.resize(truncated.size() - 40);
    Bytes tiny_huge = with32(with32(rgb8, 18, 70000), 22, 70000);  // 70000 x 70000, a few bytes of data
    Bytes wide = with32(with32(rgb24, 18, 14'000'000), 22, 1);      // 14 million pixels wide, one row
    Bytes v4 = rgb24;
    put32(v4, 14, 108);
    Bytes bad_masks = make_bmp({16, 4, 16, BmpKind::Bitfields});
    put32(bad_masks, 54, 0);
    put32(bad_masks, 58, 0);
    put32(bad_masks, 62, 0);
    const auto masks = [](int bpp, uint32_t r, uint32_t g, uint32_t b) {
        Bytes m = make_bmp({16, 4, bpp, BmpKind::Bitfields});
        put32(m, 54, r);
        put32(m, 58, g);
        put32(m, 62, b);
        return m;
    };

    return {
        {"empty", {}},
        {"just_bm", {'B', 'M'}},
        {"not_bmp", Bytes(200, 'x')},
        {"rle8_runs_off_the_end", rle_with(8, 16, 4, {4, 1, 4, 2, 0, 0, 16, 3})},
        {"rle8_eof_mid_picture", rle_with(8, 16, 4, {16, 1, 0, 0})},
        {"rle8_absolute_past_row", rle_with(8, 16, 4, {0, 40, 1, 2, 3})},
        {"rle8_absolute_past_file", rle_with(8, 16, 4, {0, 10, 1, 2, 3})},
        {"rle8_delta_above_top", rle_with(8, 16, 4, {0, 2, 0, 9, 3, 1, 0, 1})},
        {"rle8_delta_past_right", rle_with(8, 16, 4, {0, 2, 200, 0, 3, 1, 0, 1})},
        {"rle8_after_last_line", rle_with(8, 16, 2, {0, 0, 0, 0, 5, 1, 0, 1})},
        {"rle4_absolute_past_row", rle_with(4, 8, 4, {0, 100, 1, 2, 3, 4, 5, 6, 7, 8, 0, 1})},
        {"rle4_no_end", rle_with(4, 8, 1, {8, 0x11})},
        {"huge_70000_square", tiny_huge},
        {"wide_14_million", wide},
        {"width_zero", with32(rgb24, 18, 0)},
        {"rle8_top_down", with32(make_bmp({16, 4, 8, BmpKind::Rle}), 22, uint32_t(-4))},
        {"os2_v2_pixels_inside_header", with32(rgb24, 14, 64)},
        {"os2_v2_huffman", with32(with_info(rgb24, 64), 30, 3)},
        {"os2_v2_rle24", with32(with_info(rgb24, 64), 30, 4)},
        {"header_15_bytes", with_info(rgb24, 15)},
        {"bitfields_mask_with_a_hole", masks(16, 0xf000, 0x0f00, 0x00f5)},
        {"bitfields_masks_overlap", masks(32, 0xff0000, 0x00ff00, 0x0001ff)},
        {"bitfields_16_mask_past_the_pixel", masks(16, 0x1f0000, 0x03e0, 0x001f)},
        {"width_negative", with32(rgb24, 18, uint32_t(-16))},
        {"pixels_truncated", truncated},
        {"offset_past_end", with32(rgb24, 10, 100000)},
        {"offset_inside_header", with32(rgb24, 10, 20)},
        {"palette_short", with32(rgb8, 10, 54 + 16)},
        {"colours_used_1000", with32(rgb8, 46, 1000)},
        {"header_v4", v4},
        {"depth_2", [&] { Bytes b = rgb8; put16(b, 28, 2); return b; }()},
        {"rle8_on_24_bits", with32(rgb24, 30, 1)},
        {"compression_jpeg", with32(rgb24, 30, 4)},
        {"bitfields_zero_masks", bad_masks},
    };
}
