// F1, F2 and P in-process on a real window, each test in a directory of its own.
#include "bmpcheck.h"
#include "bmpgen.h"
#include "fixture.h"
#include "savefile.h"
#include "snapshot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <grp.h>
#include <set>
#include <tuple>
#include <string>
#include <csignal>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::set<std::string> files_here()
{
    std::set<std::string> names;
    DIR *d = opendir(".");
    while (dirent *e = readdir(d))
        if (std::string n = e->d_name; n != "." && n != "..")
            names.insert(n);
    closedir(d);
    return names;
}

// Each test runs in a fresh temporary directory, which is where the game
// reads and writes its snapshot.
class Snapshot : public Game {
protected:
    void SetUp() override
    {
        Game::SetUp();
        char tmpl[] = "/tmp/vellomar-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override
    {
        Game::TearDown();
        if (load) {
            destroy_bitmap(load);
            load = nullptr;
        }
        chdir("/");
        std::system(("umount -q " + dir_ + "/disk 2>/dev/null; rm -rf " + dir_).c_str());
    }
    // One key pass with exactly these keys held.
    static void pass(std::initializer_list<int> keys)
    {
        hold(keys);
        move();
        release_all();
    }
    std::string dir_;
};

void scribble()
{
    for (int i = 0; i < 40; i++)
        circlefill(buffer, 30 + i * 15, 60 + (i * 37) % 400, 4 + i % 9, makecol(i * 6, 255 - i * 6, (i * 50) & 255));
    rectfill(buffer, 400, 300, 460, 340, makecol(255, 0, 255)); // mask colour
}

// Number of board pixels that differ between two bitmaps of the board's size.
int differences(BITMAP *a, BITMAP *b)
{
    int n = 0;
    for (int py = 0; py < BOARD_H; py++)
        for (int px = 0; px < BOARD_W; px++)
            n += getpixel(a, px, py) != getpixel(b, px, py);
    return n;
}

// True if the 16-bit colour `c` is 0xRRGGBB give or take 16-bit rounding.
bool close_to(int c, uint32_t rgb)
{
    return std::abs(getr(c) - int(rgb >> 16)) <= 8 && std::abs(getg(c) - int(rgb >> 8 & 255)) <= 8 &&
           std::abs(getb(c) - int(rgb & 255)) <= 8;
}

BITMAP *copy_of_board()
{
    BITMAP *c = create_bitmap(BOARD_W, BOARD_H);
    blit(buffer, c, 0, 0, 0, 0, BOARD_W, BOARD_H);
    return c;
}

std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// Under root, the unprivileged user that tests drop to, and who owns the
// test's folder and the named file in it.
constexpr uid_t NOBODY = 65534;
constexpr size_t SNAPSHOT_BYTES = 14 + 40 + BOARD_W * BOARD_H * 3;

void own_here(const char *file)
{
    if (geteuid() == 0) {
        chown(".", NOBODY, NOBODY);
        chown(file, NOBODY, NOBODY);
    }
}

// Runs `body` without root's right to write anything: in a child that
// drops to NOBODY, or right here when the tests don't run as root.
bool unprivileged(const std::function<bool()> &body)
{
    if (geteuid() != 0)
        return body();
    const pid_t pid = fork();
    if (pid == 0)
        _exit(setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0 && body() ? 0 : 1);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

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

TEST_F(Snapshot, FifoCalledLoadBmpIsNeitherWrittenNorReadNorAHang)
{
    ASSERT_EQ(mkfifo("load.bmp", 0644), 0);
    pass({KEY_F1});
    EXPECT_NE(load, nullptr) << "the view is held even when the save does nothing";
    struct stat st;
    ASSERT_EQ(lstat("load.bmp", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "a FIFO is not a file to replace";
    EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});
    pass({KEY_F2});
    EXPECT_EQ(load, nullptr);
}

TEST_F(Snapshot, DirectoryInTheWayKeepsTheGameRunningAndLeavesNothing)
{
    ASSERT_EQ(mkdir("load.bmp", 0755), 0);
    scribble();
    pass({KEY_F1});
    EXPECT_NE(load, nullptr) << "the view is held even when the write fails";
    struct stat st;
    ASSERT_EQ(stat("load.bmp", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});
    pass({KEY_F2});
    EXPECT_EQ(load, nullptr);
}

TEST_F(Snapshot, FullDiskKeepsTheLastGoodSnapshot)
{
    // Room for one snapshot (921,654 bytes) but not for a second beside it.
    mkdir("disk", 0755);
    const bool mounted = mount("tmpfs", "disk", "tmpfs", 0, "size=1200k") == 0;
    ASSERT_EQ(chdir("disk"), 0);
    scribble();
    pass({KEY_F1});
    const Bytes good = read_file("load.bmp");
    ASSERT_GT(good.size(), 900000u);

    // Without the rights to mount a small disk, a file size limit cuts the
    // write short the same way.
    struct rlimit old_limit;
    getrlimit(RLIMIT_FSIZE, &old_limit);
    if (!mounted) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = {500000, old_limit.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    pass({KEY_SPACE, KEY_F1});
    if (!mounted)
        setrlimit(RLIMIT_FSIZE, &old_limit);

    if (mounted) {
        // No room for the temporary file, but the old file's own room takes
        // the new picture, as an in-place write would.
        EXPECT_NE(read_file("load.bmp"), good);
        EXPECT_EQ(read_file("load.bmp").size(), good.size());
        // A small old file has no such room: it is left as it was.
        const Bytes small = make_bmp({8, 8, 24});
        ASSERT_TRUE(write_file("load.bmp", small));
        ASSERT_TRUE(write_file("filler", Bytes(good.size() - 1000)));
        scribble();
        pass({KEY_F1});
        EXPECT_EQ(read_file("load.bmp"), small) << "the last good snapshot was lost";
        unlink("filler");
    } else {
        EXPECT_EQ(read_file("load.bmp"), good) << "the last good snapshot was lost";
    }
    EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});
    ASSERT_EQ(chdir(".."), 0);
}

// A snapshot file the user made and set up, which a save replaces.
class SavedOver : public Snapshot {
protected:
    void SetUp() override
    {
        Snapshot::SetUp();
        scribble();
    }
    const bool root = geteuid() == 0;
    const Bytes old = make_bmp({8, 8, 24});
    static bool fresh(const char *f) { return read_file(f).size() == SNAPSHOT_BYTES; }
    static struct stat stat_of(const char *f)
    {
        struct stat st {};
        lstat(f, &st);
        return st;
    }
    void start(mode_t mode)
    {
        std::system("rm -rf ./* ./.load-*");
        ASSERT_TRUE(write_file("load.bmp", old));
        ASSERT_EQ(chmod("load.bmp", mode), 0);
    }
};

TEST_F(SavedOver, ItsModeIsKept)
{
    for (mode_t mode : {0600, 0640}) {
        SCOPED_TRACE(mode);
        start(mode);
        pass({KEY_F1});
        EXPECT_TRUE(fresh("load.bmp"));
        EXPECT_EQ(stat_of("load.bmp").st_mode & 0777, mode);
        EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});
    }
}

TEST_F(SavedOver, ItsOwnerAndGroupAreKept)
{
    if (!root)
        GTEST_SKIP() << "needs root, to give the file another owner";
    start(0640);
    ASSERT_EQ(chown("load.bmp", NOBODY, NOBODY), 0);
    pass({KEY_F1});
    EXPECT_TRUE(fresh("load.bmp"));
    EXPECT_EQ(stat_of("load.bmp").st_uid, NOBODY);
    EXPECT_EQ(stat_of("load.bmp").st_gid, NOBODY);
    EXPECT_EQ(stat_of("load.bmp").st_mode & 0777, 0640u);

    SCOPED_TRACE("a group the saving user is not in");
    start(0660);
    own_here("load.bmp");
    ASSERT_EQ(chown("load.bmp", NOBODY, 0), 0);
    EXPECT_TRUE(unprivileged([] { std::vector<unsigned char> bytes; return safe_save("load.bmp", buffer, pal, bytes); }));
    EXPECT_TRUE(fresh("load.bmp"));
    EXPECT_EQ(stat_of("load.bmp").st_gid, NOBODY);
    EXPECT_EQ(stat_of("load.bmp").st_mode & 0777, 0600u) << "the new group may read a private drawing";
}

TEST_F(SavedOver, AReadOnlyFileIsLeftAlone)
{
    start(0444);
    own_here("load.bmp");
    EXPECT_TRUE(unprivileged([] { std::vector<unsigned char> bytes; return !safe_save("load.bmp", buffer, pal, bytes); }));
    EXPECT_EQ(read_file("load.bmp"), old);
    EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});
}

TEST_F(SavedOver, AChainOfLinksIsFollowedAndAKilledGamesTemporaryGoes)
{
    start(0600);
    mkdir("pics", 0755);
    rename("load.bmp", "pics/real.bmp");
    symlink("pics/real.bmp", "mid.bmp");
    symlink("mid.bmp", "load.bmp");
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string stale = "pics/.load-" + std::to_string(dead) + "-AbCdEf.bmp";
    const std::string others = "pics/.load-" + std::to_string(dead) + "-XyZ123.bmp";
    const std::string look_alike = "pics/.load-2024-final.bmp";
    for (const std::string &f : {stale, others, look_alike})
        ASSERT_TRUE(write_file(f, old));
    if (root) {
        ASSERT_EQ(chown(others.c_str(), NOBODY, NOBODY), 0);
    }
    pass({KEY_F1});
    EXPECT_TRUE(S_ISLNK(stat_of("load.bmp").st_mode));
    EXPECT_TRUE(fresh("pics/real.bmp"));
    EXPECT_EQ(stat_of("pics/real.bmp").st_mode & 0777, 0600u);
    EXPECT_EQ(files_here(), (std::set<std::string>{"load.bmp", "mid.bmp", "pics"}));
    EXPECT_NE(access(stale.c_str(), F_OK), 0) << "stale temporary file left beside the target";
    EXPECT_EQ(read_file(look_alike), old) << "a file of the user's that only looks like a temporary";
    EXPECT_EQ(read_file(others), old) << "another user's temporary file";

    unlink("pics/real.bmp");  // now the links dangle: the save creates the target
    pass({KEY_F1});
    EXPECT_TRUE(fresh("pics/real.bmp"));
    EXPECT_TRUE(S_ISLNK(stat_of("load.bmp").st_mode));

    // The folder removed and made anew, as likely as not with the old
    // one's inode: it is looked at again.
    std::system("rm -rf pics");
    ASSERT_EQ(mkdir("pics", 0755), 0);
    ASSERT_TRUE(write_file(stale, old));
    pass({KEY_F1});
    EXPECT_TRUE(fresh("pics/real.bmp"));
    EXPECT_NE(access(stale.c_str(), F_OK), 0) << "a folder made anew was taken for the old one";
}

TEST_F(SavedOver, ALoopOfLinksIsNotSaved)
{
    std::system("rm -rf ./*");
    symlink("other.bmp", "load.bmp");
    symlink("load.bmp", "other.bmp");
    pass({KEY_F1});
    EXPECT_TRUE(S_ISLNK(stat_of("load.bmp").st_mode));
    EXPECT_EQ(files_here(), (std::set<std::string>{"load.bmp", "other.bmp"}));
}

TEST_F(SavedOver, AFileWithOtherHardLinksIsWrittenInPlace)
{
    start(0644);
    mkdir("art", 0755);
    ASSERT_EQ(link("load.bmp", "art/picture.bmp"), 0);
    pass({KEY_F1});
    EXPECT_TRUE(fresh("load.bmp"));
    EXPECT_TRUE(fresh("art/picture.bmp"));
    EXPECT_EQ(stat_of("load.bmp").st_ino, stat_of("art/picture.bmp").st_ino);
    EXPECT_EQ(files_here(), (std::set<std::string>{"art", "load.bmp"}));
}

TEST_F(SavedOver, TheTemporaryIsOpenedOnceAndNeverAgainByItsName)
{
    start(0644);
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, ".", IN_OPEN), 0);
    pass({KEY_F1});
    EXPECT_TRUE(fresh("load.bmp"));
    alignas(inotify_event) char events[8192];
    int opens = 0;
    for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
        for (char *e = events; e < events + n; e += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(e)->len)
            opens += std::strncmp(reinterpret_cast<inotify_event *>(e)->name, ".load-", 6) == 0;
    close(watch);
    EXPECT_EQ(opens, 1);
}

TEST_F(SavedOver, LinksAndFilesPlantedInASharedFolderAreLeftAlone)
{
    if (!root)
        GTEST_SKIP() << "needs root, to plant files as another user";
    std::system("rm -rf ./*");
    ASSERT_EQ(chown(".", 0, 0), 0);  // the folder is root's, the planted link nobody's
    chmod(".", 01777);
    mkdir("keep", 0755);
    ASSERT_TRUE(write_file("keep/mine.bmp", old));
    for (const char *to : {"keep/mine.bmp", "keep/missing.bmp"}) {
        unlink("load.bmp");
        symlink(to, "load.bmp");
        ASSERT_EQ(lchown("load.bmp", NOBODY, NOBODY), 0);
        pass({KEY_F1});
        EXPECT_EQ(read_file("keep/mine.bmp"), old) << to;
        EXPECT_NE(access("keep/missing.bmp", F_OK), 0) << to;
        EXPECT_EQ(files_here(), (std::set<std::string>{"keep", "load.bmp"})) << to;
    }
    SCOPED_TRACE("the saver's own link there is followed, as is another user's in an ordinary folder");
    ASSERT_EQ(lchown("load.bmp", 0, 0), 0);
    pass({KEY_F1});
    EXPECT_TRUE(fresh("keep/missing.bmp"));
    chmod(".", 0755);
    ASSERT_EQ(lchown("load.bmp", NOBODY, NOBODY), 0);
    unlink("keep/missing.bmp");
    pass({KEY_F1});
    EXPECT_TRUE(fresh("keep/missing.bmp"));

    SCOPED_TRACE("a file another user planted in a shared sticky folder is not replaced");
    chmod(".", 01777);
    start(0666);
    ASSERT_EQ(chown("load.bmp", NOBODY, NOBODY), 0);
    pass({KEY_F1});
    EXPECT_EQ(read_file("load.bmp"), old);
    EXPECT_EQ(stat_of("load.bmp").st_uid, NOBODY);
    chmod(".", 0700);
}

TEST_F(SavedOver, TheAccessAclIsKept)
{
    if (!root)
        GTEST_SKIP() << "needs root, to name another user in the ACL and give the folder away";
    start(0600);
    ASSERT_EQ(std::system("setfacl -m u:nobody:rw-,g::---,o::--- load.bmp"), 0);
    const std::string acl = run("getfacl -cn load.bmp");
    pass({KEY_F1});
    EXPECT_TRUE(fresh("load.bmp"));
    EXPECT_EQ(run("getfacl -cn load.bmp"), acl);

    start(0600);
    ASSERT_EQ(std::system("setfacl -m u:nobody:rw-,g::---,o::--- load.bmp"), 0);
    ASSERT_EQ(chown(".", NOBODY, NOBODY), 0);
    EXPECT_TRUE(unprivileged([] { std::vector<unsigned char> bytes; return safe_save("load.bmp", buffer, pal, bytes); }));
    EXPECT_TRUE(fresh("load.bmp"));
    EXPECT_EQ(run("getfacl -cn load.bmp"), "user::rw-\nuser:0:rw-\nuser:65534:rw-\ngroup::---\n"
                                            "group:0:---\nmask::rw-\nother::---\n\n");
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

TEST_F(Snapshot, WhereTheRenameIsRefusedTheFileIsWrittenInPlace)
{
    // The file its user may write, where a temporary file beside it can't
    // be made or can't be renamed over it: written in place, as the
    // library's own save would have, keeping the file itself.
    const auto ino = [] {
        struct stat st {};
        stat("load.bmp", &st);
        return st.st_ino;
    };
    int round = 0;
    const auto saves_in_place = [&](const char *why) {
        SCOPED_TRACE(why);
        round++;
        const Bytes before = read_file("load.bmp");
        const ino_t was = ino();
        scribble();
        pass({KEY_SPACE});
        circlefill(buffer, 100 * round, 300, 40, makecol(0, 0, 255));
        EXPECT_TRUE(unprivileged([] { std::vector<unsigned char> bytes; return safe_save("load.bmp", buffer, pal, bytes); }));
        EXPECT_NE(read_file("load.bmp"), before);
        EXPECT_EQ(read_file("load.bmp").size(), SNAPSHOT_BYTES);
        EXPECT_EQ(ino(), was);
    };
    scribble();
    pass({KEY_F1});

    // A folder the user may not write (a shared machine's, say).
    own_here("load.bmp");
    chmod(".", 0555);
    if (geteuid() == 0)
        chown(".", 0, 0);
    saves_in_place("a folder that can't be written");
    chmod(".", 0755);
    EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});

    if (geteuid() != 0)
        GTEST_SKIP() << "the sticky shared folder needs root, to own files as another user";
    // The folder owner's world-writable file in a sticky shared folder: the
    // sticky bit refuses another user's rename over it.
    chmod(".", 01777);
    chown("load.bmp", 0, 0);
    chmod("load.bmp", 0666);
    saves_in_place("the folder owner's file in a sticky folder");
    chmod(".", 0755);
    EXPECT_EQ(files_here(), std::set<std::string>{"load.bmp"});

    // A file that is a mount point of its own (a sandbox's or a
    // container's): the rename gives EBUSY.
    ASSERT_TRUE(write_file("outside.bmp", read_file("load.bmp")));
    chown("outside.bmp", NOBODY, NOBODY);
    if (mount("outside.bmp", "load.bmp", nullptr, MS_BIND, nullptr) == 0) {
        saves_in_place("a file bound over load.bmp");
        umount("load.bmp");
        EXPECT_EQ(read_file("outside.bmp").size(), SNAPSHOT_BYTES);
        EXPECT_NE(read_file("outside.bmp"), read_file("load.bmp"));
    }
}
