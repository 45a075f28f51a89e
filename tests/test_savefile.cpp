// How a save replaces load.bmp on Linux, in-process: a full disk, a FIFO or
// a folder in the way, and a file the user set up (its mode, owner, ACL,
// links, a shared folder) keep what they had.
#include "snapshot_fixture.h"

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
