#include "bmpcheck.h"

namespace {

constexpr size_t FILE_HEADER = 14;
constexpr uint32_t WIN_INFO = 40;  // BITMAPINFOHEADER
constexpr uint32_t OS2_INFO = 12;  // BITMAPCOREHEADER
constexpr size_t MASKS = 12;       // three channel masks after a bit-field header

enum Compression : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

uint32_t u16(const unsigned char *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const unsigned char *p) { return u16(p) | u16(p + 2) << 16; }

struct Header {
    int64_t w, h;
    uint32_t bpp, compression, colours_used;
    size_t info_end;  // where the header (and masks) end and the palette starts
    size_t entry;     // bytes per palette entry
    size_t offset;    // where the pixel data starts
};

bool parse(const unsigned char *d, size_t size, Header &h)
{
    if (size < FILE_HEADER + OS2_INFO || d[0] != 'B' || d[1] != 'M')
        return false;
    h.offset = u32(d + 10);
    const uint32_t info = u32(d + 14);
    if (info == WIN_INFO) {
        if (size < FILE_HEADER + WIN_INFO)
            return false;
        h.w = int32_t(u32(d + 18));
        h.h = int32_t(u32(d + 22));  // negative means top-down, which the reader refuses
        h.bpp = u16(d + 28);
        h.compression = u32(d + 30);
        h.colours_used = u32(d + 46);
        h.entry = 4;
    } else if (info == OS2_INFO) {
        h.w = u16(d + 18);
        h.h = u16(d + 20);
        h.bpp = u16(d + 24);
        h.compression = BI_RGB;
        h.colours_used = 0;
        h.entry = 3;
    } else {
        return false;
    }
    h.info_end = FILE_HEADER + info + (h.compression == BI_BITFIELDS ? MASKS : 0);
    return true;
}

bool kind_known(const Header &h, bool os2)
{
    switch (h.compression) {
    case BI_RGB:
        return h.bpp == 1 || h.bpp == 4 || h.bpp == 8 || h.bpp == 24 || (!os2 && (h.bpp == 16 || h.bpp == 32));
    case BI_RLE8:
        return h.bpp == 8;
    case BI_RLE4:
        return h.bpp == 4;
    case BI_BITFIELDS:
        return h.bpp == 16 || h.bpp == 32;
    default:
        return false;
    }
}

// The reader knows only the usual channel layouts: 5-5-5 and 5-6-5 for
// 16 bits, 8-8-8 for 32.
bool masks_known(const unsigned char *d, uint32_t bpp)
{
    const uint32_t r = u32(d + 54), g = u32(d + 58), b = u32(d + 62);
    if (bpp == 16)
        return (r == 0x7c00 && g == 0x03e0 && b == 0x001f) || (r == 0xf800 && g == 0x07e0 && b == 0x001f);
    return r == 0xff0000 && g == 0x00ff00 && b == 0x0000ff;
}

// Runs a run-length stream without writing anything: every pixel it would
// write must lie inside the picture, every byte it reads inside the file,
// and it must end with an end-of-picture code.
bool rle_stays_inside(const unsigned char *d, size_t size, const Header &h)
{
    const bool four = h.compression == BI_RLE4;
    size_t at = h.offset;
    int64_t pos = 0, line = h.h - 1;  // bottom line first
    auto fits = [&](int64_t n) { return line >= 0 && line < h.h && pos + n <= h.w; };

    while (size - at >= 2) {
        const unsigned count = d[at], code = d[at + 1];
        at += 2;
        if (count > 0) {  // a run of one value
            if (!fits(count))
                return false;
            pos += count;
        } else if (code == 0) {  // end of line
            pos = 0;
            line--;
        } else if (code == 1) {  // end of picture
            return true;
        } else if (code == 2) {  // move right and up
            if (size - at < 2)
                return false;
            pos += d[at];
            line -= d[at + 1];
            at += 2;
            if (pos > h.w || line < 0)
                return false;
        } else {  // `code` literal pixels, padded to an even number of bytes
            size_t bytes = four ? (code + 1) / 2 : code;
            bytes += bytes % 2;
            if (!fits(code) || size - at < bytes)
                return false;
            pos += code;
            at += bytes;
        }
    }
    return false;  // ran off the end of the file
}

} // namespace

bool bmp_is_safe(const unsigned char *d, size_t size)
{
    Header h;
    if (!d || size > BMP_MAX_FILE || !parse(d, size, h))
        return false;
    const bool os2 = h.entry == 3;
    if (!kind_known(h, os2))
        return false;
    if (h.w < 1 || h.h < 1 || h.w > BMP_MAX_SIDE || h.h > BMP_MAX_SIDE || h.w * h.h > BMP_MAX_PIXELS)
        return false;
    if (h.info_end > size || h.offset < h.info_end || h.offset > size)
        return false;
    if (h.compression == BI_BITFIELDS && !masks_known(d, h.bpp))
        return false;

    // A palette picture must hold the palette it declares.
    if (h.bpp <= 8) {
        const uint32_t full = 1u << h.bpp;
        const uint32_t declared = h.colours_used ? h.colours_used : full;
        if (declared > full || h.offset - h.info_end < declared * h.entry)
            return false;
    }

    if (h.compression == BI_RLE4 || h.compression == BI_RLE8)
        return rle_stays_inside(d, size, h);

    // Rows are padded to four bytes; the last row's padding may be missing.
    const int64_t row_bytes = (h.w * h.bpp + 7) / 8;
    const int64_t stride = (row_bytes + 3) / 4 * 4;
    return int64_t(size - h.offset) >= stride * (h.h - 1) + row_bytes;
}
