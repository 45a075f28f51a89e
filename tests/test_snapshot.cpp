// F1, F2 and P in-process on a real window: what a save writes, what a load
// reads back, what a paste draws, and what held keys save.
#include "snapshot_fixture.h"

TEST_F(Snapshot, SaveWritesTheBoardAsABmpThatImageMagickReads)
{
    scribble();
    pass({KEY_F1});
    ASSERT_EQ(files_here(), std::set<std::string>{"load.bmp"}) << "a temporary file was left behind";
    ASSERT_NE(load, nullptr);
    EXPECT_TRUE(is_sub_bitmap(load)) << "after a save the held picture is a view onto the board";

    EXPECT_EQ(run("identify -format '%w %h %m' load.bmp").substr(0, 11), "640 480 BMP");
    const std::string rgb = run("convert load.bmp -depth 8 rgb:-");
    ASSERT_EQ(rgb.size(), size_t(BOARD_W * BOARD_H * 3));
    int off = 0;
    for (int py = 0; py < BOARD_H; py++)
        for (int px = 0; px < BOARD_W; px++) {
            const int c = getpixel(buffer, px, py);
            const unsigned char *p = reinterpret_cast<const unsigned char *>(&rgb[(py * BOARD_W + px) * 3]);
            off += !close_to(c, uint32_t(p[0] << 16 | p[1] << 8 | p[2]));
        }
    EXPECT_EQ(off, 0);

    struct stat st;
    ASSERT_EQ(stat("load.bmp", &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "snapshot gets a new file's usual permissions";
}

TEST_F(Snapshot, LoadThenPasteRestoresAClearedBoard)
{
    scribble();
    pass({KEY_F1});
    BITMAP *saved = copy_of_board();
    pass({KEY_SPACE});
    ASSERT_GT(differences(buffer, saved), 1000);

    pass({KEY_F2});
    ASSERT_NE(load, nullptr);
    EXPECT_FALSE(is_sub_bitmap(load)) << "after a load the held picture is a copy of its own";
    pass({KEY_P});
    // Everything comes back but the mask-coloured patch, which leaves the
    // cleared board's black showing through.
    int wrong = 0, see_through = 0;
    for (int py = 0; py < BOARD_H; py++)
        for (int px = 0; px < BOARD_W; px++) {
            const int s = getpixel(saved, px, py);
            if (s == makecol(255, 0, 255))
                see_through += getpixel(buffer, px, py) == black();
            else
                wrong += getpixel(buffer, px, py) != s;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(see_through, 61 * 41);
    EXPECT_EQ(x, 15);
    EXPECT_EQ(y, 15);
    destroy_bitmap(saved);
}

TEST_F(Snapshot, PasteAfterASaveChangesNothing)
{
    scribble();
    pass({KEY_F1});
    BITMAP *before = copy_of_board();
    pass({KEY_P});
    EXPECT_EQ(differences(buffer, before), 0);
    destroy_bitmap(before);
}

TEST_F(Snapshot, SaveAndLoadInOnePassHoldTheCopyReadBack)
{
    scribble();
    pass({KEY_F1, KEY_F2});
    ASSERT_NE(load, nullptr);
    EXPECT_FALSE(is_sub_bitmap(load));
    EXPECT_EQ(differences(load, buffer), 0);
    EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});
}

// F1 then Space, between two reads, however the keyboard reports them: the
// file holds the drawing and the board ends up cleared.
TEST_F(Snapshot, TapsWithinOnePassActInTheOrderPressed)
{
    // As the library's handler reports keys: key[] first, then the callback.
    const auto report = [](int k, bool down) {
        key[k] = down ? -1 : 0;
        keyboard_lowlevel_callback(down ? k : k | 0x80);
    };
    const auto tap = [&](int k) { report(k, true), report(k, false); };
    const std::vector<std::function<void()>> ways{
        [&] { tap(KEY_F1), tap(KEY_SPACE); },
        // Space pressed after an F1 tap and still down at the read.
        [&] { tap(KEY_F1), report(KEY_SPACE, true); },
        // F1 held across a read, then its autorepeat, its release and Space:
        // a repeat is no new press.
        [&] {
            report(KEY_F1, true);
            move();
            report(KEY_F1, true), report(KEY_F1, false), report(KEY_SPACE, true);
        },
    };
    for (size_t way = 0; way < ways.size(); way++) {
        std::remove("load.bmp");
        scribble();
        BITMAP *drawing = copy_of_board();
        ways[way]();
        move();
        if (way == 2) {
            EXPECT_EQ(getpixel(buffer, 430, 320), black()) << "F1's repeat held Space back";
        }
        report(KEY_SPACE, false);
        move();
        PALETTE p;
        BITMAP *saved = load_bitmap("load.bmp", p);
        ASSERT_NE(saved, nullptr) << way;
        EXPECT_EQ(differences(saved, drawing), 0) << way << ": the cleared board was saved";
        EXPECT_EQ(getpixel(buffer, 430, 320), black()) << way << ": Space was lost";
        destroy_bitmap(saved);
        destroy_bitmap(drawing);
    }
}

TEST_F(Snapshot, PasteWithNothingHeldDoesNothing)
{
    scribble();
    BITMAP *before = copy_of_board();
    pass({KEY_P}); // before any save
    pass({KEY_F2}); // no file: the load fails
    EXPECT_EQ(load, nullptr);
    pass({KEY_P});
    EXPECT_EQ(differences(buffer, before), 0);
    destroy_bitmap(before);
}

TEST_F(Snapshot, SmallerPictureCoversItsCornerAndLargerIsCutAtTheEdges)
{
    const BmpSpec small{100, 50, 24}, large{700, 500, 8};
    ASSERT_TRUE(write_file("load.bmp", make_bmp(small)));
    scribble();
    BITMAP *before = copy_of_board();
    pass({KEY_F2, KEY_P});
    ASSERT_NE(load, nullptr);
    int wrong = 0;
    for (int py = 0; py < BOARD_H; py++)
        for (int px = 0; px < BOARD_W; px++) {
            const int c = getpixel(buffer, px, py);
            if (px < small.w && py < small.h)
                wrong += !close_to(c, bmp_pixel(small, px, py));
            else
                wrong += c != getpixel(before, px, py);
        }
    EXPECT_EQ(wrong, 0);

    ASSERT_TRUE(write_file("load.bmp", make_bmp(large)));
    pass({KEY_F2, KEY_P});
    ASSERT_NE(load, nullptr);
    EXPECT_EQ(load->w, 700);
    wrong = 0;
    for (int py = 0; py < BOARD_H; py++)
        for (int px = 0; px < BOARD_W; px++)
            wrong += !close_to(getpixel(buffer, px, py), bmp_pixel(large, px, py));
    EXPECT_EQ(wrong, 0);
    destroy_bitmap(before);
}

TEST_F(Snapshot, SnapshotKeysNeitherMoveDotsNorClear)
{
    scribble();
    pass({KEY_F1});
    BITMAP *before = copy_of_board();
    pass({KEY_F1, KEY_F2});
    EXPECT_EQ(differences(buffer, before), 0);
    EXPECT_EQ(x, 15);
    EXPECT_EQ(x2, 625);
    destroy_bitmap(before);
}

TEST_F(Snapshot, BlockedKeyPassSkipsTheSnapshotKeys)
{
    y = DOT_MIN;
    pass({KEY_UP, KEY_F1});
    EXPECT_TRUE(files_here().empty());
    EXPECT_EQ(load, nullptr);
}


TEST_F(Snapshot, HeldF1WritesOnlyWhenTheBoardOrTheFileChanged)
{
    const auto written = [] {
        struct stat st {};
        stat("load.bmp", &st);
        return std::make_tuple(st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    };
    const auto holds_board = [] {
        PALETTE p;
        BITMAP *b = load_bitmap("load.bmp", p);
        const bool same = b && differences(b, buffer) == 0;
        if (b)
            destroy_bitmap(b);
        return same;
    };
    const auto held = [] {
        frame();
        pass({KEY_F1});
    };
    scribble();
    held();
    const auto first = written();
    for (int i = 0; i < 20; i++, usleep(2000))
        held();
    EXPECT_EQ(written(), first) << "the same picture was written again";
    EXPECT_TRUE(is_sub_bitmap(load)) << "F1 still holds the board";

    pass({KEY_RIGHT});
    held();
    EXPECT_NE(written(), first) << "a dot moved";
    EXPECT_TRUE(holds_board());

    unlink("load.bmp");
    held();
    EXPECT_TRUE(holds_board()) << "the file was deleted";

    usleep(20000);
    Bytes other = read_file("load.bmp");
    other[100] ^= 0xff;
    ASSERT_TRUE(write_file("load.bmp", other));
    held();
    EXPECT_TRUE(holds_board()) << "another program rewrote the file";

    // Where file times are whole seconds (ext4 with small inodes; FAT keeps
    // two), another program's same-size rewrite just after a save, in place
    // or as a new file, can leave every time as the save left it.
    mkdir("disk", 0755);
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to mount a file system with whole-second times";
    if (std::system("truncate -s 8M coarse.img && mkfs.ext4 -q -I 128 -F coarse.img 2>/dev/null && "
                    "mount -o loop coarse.img disk") != 0)
        GTEST_SKIP() << "this machine could not mount an ext4 image (no loop device?)";
    ASSERT_EQ(chdir("disk"), 0);
    for (bool anew : {false, true}) {
        SCOPED_TRACE(anew ? "deleted and written anew" : "rewritten in place");
        for (int tries = 0; tries < 20; tries++) {
            unlink("load.bmp");
            held();
            const auto saved = written();
            other = read_file("load.bmp");
            other[100] ^= 0xff;
            if (anew)
                unlink("load.bmp");
            ASSERT_TRUE(write_file("load.bmp", other));
            if (written() == saved)
                break;  // the rewrite left the times as they were
        }
        held();
        EXPECT_TRUE(holds_board()) << "the other program's picture was taken for the board";
    }
    ASSERT_EQ(chdir(".."), 0);
}
