// End-to-end test support: runs the real binary on the test display, sends
// it key events through XTEST and reads back the pixels of its window.
#pragma once

#include "rules.h"

#include <X11/Xlib.h>
#include <string>
#include <vector>
#include <sys/types.h>

class XGame {
public:
    // Starts the game in `dir` (the current directory if empty).
    explicit XGame(const std::string &dir = "");
    ~XGame();

    bool ready() const { return win_ != 0; }
    pid_t pid() const { return pid_; }

    void press(KeySym k);
    void release(KeySym k);
    void tap(KeySym k, int hold_ms = 60);
    // The key with X keycode `code`, whatever the layout gives it.
    void press_code(unsigned code);
    void release_code(unsigned code);
    Rgb pixel(int px, int py);
    // Unmaps the game's window and maps it again: what it showed is gone
    // until the game (or the library for it) draws it again.
    void hide_and_show();
    // A property of the game's top-level window, as 32-bit items (a
    // string's bytes come four to an item); empty where it has none.
    std::vector<unsigned long> window_property(const char *name);
    // Whether the game's main thread falls asleep within a few seconds and
    // stays so for 200 ms: a game that runs passes never does, whatever
    // else it waits for.
    bool asleep();
    // Waits until the pixel is within `tol` of `want`; false once the board
    // has stood still for `timeout_ms` (longer for a slower build).
    bool wait_pixel(int px, int py, Rgb want, int tol = 12, int timeout_ms = 3000);

    // Waits for the game to end; returns its exit status, or -1 on timeout
    // (the game is then killed).
    int wait_exit(int timeout_ms = 5000);
    // Closes the harness's own connection to the display, before its
    // server is ended under the game.
    void drop_display();
    std::string output();  // what it wrote to stdout and stderr so far

private:
    void find_window(int idle_ms);
    Display *dpy_ = nullptr;
    Window win_ = 0;
    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool reaped_ = false;
};

bool near(Rgb a, Rgb b, int tol = 12);

// An X server of a test's own (Xvfb), to end under a running game.
class XServer {
public:
    XServer();
    ~XServer() { kill_now(); }
    bool up() const { return !name_.empty(); }
    const std::string &name() const { return name_; }  // ":N"
    void kill_now();

private:
    pid_t pid_ = -1;
    std::string name_;
};

// How many times longer than the native game another build (VELLOMAR_GAME,
// the Windows one under Wine) takes to start, draw and end.
int patience();

// The processor time, in ticks (sysconf(_SC_CLK_TCK) a second), that the
// game `pid` and the processes it started have used, with Wine's own.
unsigned long long work_ticks(pid_t pid);

// Runs the game once and returns its exit status; captures its output.
int run_game(const char *display, std::string *out, int timeout_ms = 5000);
