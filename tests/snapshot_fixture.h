// The in-process tests of the snapshot file (test_snapshot, test_bmpcheck,
// test_savefile): each test in a folder of its own, which is where the game
// reads and writes its snapshot, and what they share.
#pragma once

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

inline std::set<std::string> files_here()
{
    std::set<std::string> names;
    DIR *d = opendir(".");
    while (dirent *e = readdir(d))
        if (std::string n = e->d_name; n != "." && n != "..")
            names.insert(n);
    closedir(d);
    return names;
}

class Snapshot : public Game {
protected:
    // One key pass with exactly these keys held.
    static void pass(std::initializer_list<int> keys)
    {
        hold(keys);
        move();
        release_all();
    }
};

inline void scribble()
{
    for (int i = 0; i < 40; i++)
        circlefill(buffer, 30 + i * 15, 60 + (i * 37) % 400, 4 + i % 9, makecol(i * 6, 255 - i * 6, (i * 50) & 255));
    rectfill(buffer, 400, 300, 460, 340, makecol(255, 0, 255)); // mask colour
}

// Number of board pixels that differ between two bitmaps of the board's size.
inline int differences(BITMAP *a, BITMAP *b)
{
    int n = 0;
    for (int py = 0; py < BOARD_H; py++)
        for (int px = 0; px < BOARD_W; px++)
            n += getpixel(a, px, py) != getpixel(b, px, py);
    return n;
}

// True if the 16-bit colour `c` is 0xRRGGBB give or take 16-bit rounding.
inline bool close_to(int c, uint32_t rgb)
{
    return std::abs(getr(c) - int(rgb >> 16)) <= 8 && std::abs(getg(c) - int(rgb >> 8 & 255)) <= 8 &&
           std::abs(getb(c) - int(rgb & 255)) <= 8;
}

inline BITMAP *copy_of_board()
{
    BITMAP *c = create_bitmap(BOARD_W, BOARD_H);
    blit(buffer, c, 0, 0, 0, 0, BOARD_W, BOARD_H);
    return c;
}

inline std::string run(const std::string &cmd)
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
inline constexpr uid_t NOBODY = 65534;
inline constexpr size_t SNAPSHOT_BYTES = 14 + 40 + BOARD_W * BOARD_H * 3;

inline void own_here(const char *file)
{
    if (geteuid() == 0) {
        chown(".", NOBODY, NOBODY);
        chown(file, NOBODY, NOBODY);
    }
}

// Runs `body` without root's right to write anything: in a child that
// drops to NOBODY, or right here when the tests don't run as root.
inline bool unprivileged(const std::function<bool()> &body)
{
    if (geteuid() != 0)
        return body();
    const pid_t pid = fork();
    if (pid == 0)
        _exit(setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0 && body() ? 0 : 1);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
