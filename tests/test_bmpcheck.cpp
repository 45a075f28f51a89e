// The check of a BMP file before the library reads it, in-process: every
// kind the reader takes loads as it would, the forms other tools write are
// rewritten to paste alike, and broken or hostile files load as nothing.
#include "snapshot_fixture.h"

TEST_F(Snapshot, EveryValidKindLoadsAsTheLibraryReadsIt)
{
    for (const BmpSpec &s : valid_kinds()) {
        SCOPED_TRACE(s.name());
        ASSERT_TRUE(write_file("load.bmp", make_bmp(s)));
        pass({KEY_F2});
        ASSERT_NE(load, nullptr);
        ASSERT_EQ(load->w, s.w);
        ASSERT_EQ(load->h, s.h);
        PALETTE p;
        BITMAP *plain = load_bitmap("load.bmp", p);
        ASSERT_NE(plain, nullptr);
        int wrong = 0, same = 0;
        for (int py = 0; py < s.h; py++)
            for (int px = 0; px < s.w; px++) {
                const int c = getpixel(load, px, py);
                wrong += !close_to(c, bmp_pixel(s, px, py));
                same += c == getpixel(plain, px, py);
            }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(same, s.w * s.h);
        destroy_bitmap(plain);
    }
}

TEST_F(Snapshot, FormsOtherToolsWritePasteLikeThePlainForm)
{
    // Each form against the same picture in the plain form the library has
    // always read, to within the form's own precision (`tol`, in 8-bit steps
    // of the board's colours). The odd width matters: ImageMagick's RLE8
    // runs past the end of every row of such a picture.
    BmpSpec rgb{37, 23, 24}, top_down = rgb;
    top_down.top_down = true;
    const auto fields = [](int bpp, uint32_t r, uint32_t g, uint32_t b) {
        BmpSpec s{37, 23, bpp, BmpKind::Bitfields};
        s.masks[0] = r, s.masks[1] = g, s.masks[2] = b;
        return make_bmp(s);
    };
    ASSERT_TRUE(write_file("rgb.bmp", make_bmp(rgb)));
    ASSERT_TRUE(write_file("pal.bmp", make_bmp({37, 23, 8})));
    ASSERT_TRUE(write_file("top_down.bmp", make_bmp(top_down)));
    ASSERT_TRUE(write_file("palette_565.bmp", with_gap(fields(16, 0xf800, 0x07e0, 0x001f), 1024)));
    ASSERT_TRUE(write_file("xbgr.bmp", fields(32, 0x0000ff, 0x00ff00, 0xff0000)));
    ASSERT_TRUE(write_file("10_10_10_2.bmp", fields(32, 0x3ff00000, 0x000ffc00, 0x000003ff)));
    ASSERT_TRUE(write_file("os2_v2.bmp", with_info(make_bmp(rgb), 64)));
    struct Form {
        const char *make, *plain;
        uint32_t info, bpp, compression;
        int tol;
    } forms[] = {
        {"convert rgb.bmp load.bmp", "rgb.bmp", 124, 24, 0, 0},
        {"convert pal.bmp load.bmp", "pal.bmp", 124, 8, 1, 0},
        {"convert rgb.bmp -alpha on load.bmp", "rgb.bmp", 124, 32, 3, 0},
        {"convert rgb.bmp -intent Undefined load.bmp", "rgb.bmp", 108, 24, 0, 0},
        {"cp top_down.bmp load.bmp", "rgb.bmp", 40, 24, 0, 0},
        {"cp palette_565.bmp load.bmp", "rgb.bmp", 40, 16, 3, 9},
        {"cp xbgr.bmp load.bmp", "rgb.bmp", 40, 32, 3, 0},
        {"cp 10_10_10_2.bmp load.bmp", "rgb.bmp", 40, 32, 3, 0},
        {"convert rgb.bmp -alpha on -define bmp:subtype=ARGB4444 load.bmp", "rgb.bmp", 124, 16, 3, 17},
        {"cp os2_v2.bmp load.bmp", "rgb.bmp", 64, 24, 0, 0},
    };
    const auto pasted = [] {
        pass({KEY_SPACE});
        pass({KEY_F2, KEY_P});
        return load ? copy_of_board() : nullptr;
    };
    for (const Form &f : forms) {
        SCOPED_TRACE(f.make);
        ASSERT_EQ(std::system(f.make), 0);
        const Bytes b = read_file("load.bmp");
        ASSERT_GT(b.size(), 54u);
        ASSERT_EQ((std::vector<uint32_t>{b[14], b[28], b[30]}), (std::vector<uint32_t>{f.info, f.bpp, f.compression}))
            << "not the form this case is about";
        BITMAP *got = pasted();
        ASSERT_NE(got, nullptr);
        ASSERT_EQ(std::system((std::string("cp ") + f.plain + " load.bmp").c_str()), 0);
        BITMAP *want = pasted();
        ASSERT_NE(want, nullptr);
        int worst = 0;
        for (int py = 0; py < BOARD_H; py++)
            for (int px = 0; px < BOARD_W; px++) {
                const int g = getpixel(got, px, py), w = getpixel(want, px, py);
                worst = std::max({worst, std::abs(getr(g) - getr(w)), std::abs(getg(g) - getg(w)),
                                  std::abs(getb(g) - getb(w))});
            }
        EXPECT_LE(worst, f.tol);
        destroy_bitmap(got);
        destroy_bitmap(want);
    }
}

TEST_F(Snapshot, RunsPastTheRowEndAreCutThere)
{
    // Each stream that overruns its row reads as the same row coded to end
    // at the edge: runs, absolute runs, and absolute runs cut to one or two
    // pixels (which can't stay absolute).
    const uint8_t a = 0x12, b = 0x34;
    const struct {
        int bpp;
        Bytes overrun, cut;
    } cases[] = {
        {8, {14, 5, 9, 6, 0, 1}, {14, 5, 2, 6, 0, 1}},
        {8, {12, 5, 0, 7, 1, 2, 3, 4, 5, 6, 7, 0, 0, 1}, {12, 5, 0, 4, 1, 2, 3, 4, 0, 1}},
        {8, {14, 5, 0, 5, 1, 2, 3, 4, 5, 0, 0, 1}, {14, 5, 1, 1, 1, 2, 0, 1}},
        {4, {15, a, 4, b, 0, 1}, {15, a, 1, b, 0, 1}},
        {4, {13, a, 0, 6, a, b, a, 0, 0, 1}, {13, a, 0, 3, a, b, 0, 1}},
        {4, {15, a, 0, 4, b, a, 0, 1}, {15, a, 1, b, 0, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.overrun));
        const Bytes overrun = rle_with(c.bpp, 16, 1, c.overrun), cut = rle_with(c.bpp, 16, 1, c.cut);
        PALETTE p{};
        BITMAP *got = read_snapshot(overrun.data(), overrun.size(), p), *want = read_snapshot(cut.data(), cut.size(), p);
        ASSERT_NE(got, nullptr);
        ASSERT_NE(want, nullptr);
        for (int px = 0; px < 16; px++)
            EXPECT_EQ(getpixel(got, px, 0), getpixel(want, px, 0)) << "at " << px;
        destroy_bitmap(got);
        destroy_bitmap(want);
    }
}

TEST_F(Snapshot, BrokenAndHostileFilesLoadAsNothing)
{
    for (const Hostile &h : hostile_files()) {
        SCOPED_TRACE(h.name);
        EXPECT_FALSE(bmp_is_safe(h.bytes.data(), h.bytes.size()));
        ASSERT_TRUE(write_file("load.bmp", h.bytes));
        pass({KEY_F1}); // something is held
        ASSERT_TRUE(write_file("load.bmp", h.bytes));
        pass({KEY_F2, KEY_P});
        EXPECT_EQ(load, nullptr);
    }
    // Every file that ever got past the check to crash or hang the reader.
    const std::string dir = VELLOMAR_CORPUS;
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int seen = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        SCOPED_TRACE(e->d_name);
        Bytes b = read_file(dir + "/" + e->d_name);
        BITMAP *bmp = read_snapshot(b.data(), b.size(), pal);
        if (bmp) {
            draw_sprite(buffer, bmp, 0, 0);
            destroy_bitmap(bmp);
        }
        seen++;
    }
    closedir(d);
    EXPECT_GT(seen, 0);
}

TEST_F(Snapshot, CutShortFilesNeverGetPastTheCheckUnsafely)
{
    // Every valid kind cut at every length: each either loads or is refused.
    for (const BmpSpec &s : valid_kinds()) {
        const Bytes whole = make_bmp(s);
        for (size_t n = 0; n < whole.size(); n++) {
            BITMAP *bmp = read_snapshot(whole.data(), n, pal);
            if (bmp) {
                EXPECT_GE(n, whole.size() - 4) << s.name() << " cut to " << n << " bytes";
                destroy_bitmap(bmp);
            }
        }
    }
}
