#include "xgame.h"

#include <functional>
#include <string_view>

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <dirent.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int ms_since(Clock::time_point t)
{
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

pid_t spawn(const std::string &dir, int *out_fd)
{
    int p[2];
    if (pipe(p) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        // A game started as a background job finds these ignored and, by
        // design, leaves them so; the tests start it as a terminal would.
        for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM})
            signal(sig, SIG_DFL);
        dup2(p[1], 1);
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        // VELLOMAR_GAME runs another build of the game instead, such as the
        // Windows one under Wine: a command line of words split at spaces.
        if (const char *game = getenv("VELLOMAR_GAME")) {
            std::vector<std::string> words;
            std::istringstream in(game);
            for (std::string w; in >> w;)
                words.push_back(w);
            std::vector<char *> argv;
            for (std::string &w : words)
                argv.push_back(w.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
        } else {
            execl(VELLOMAR_BIN, "vellomar", (char *)nullptr);
        }
        _exit(127);
    }
    close(p[1]);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    *out_fd = p[0];
    return pid;
}

std::string drain(int fd)
{
    std::string s;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, size_t(n));
    return s;
}

int wait_pid(pid_t pid, int timeout_ms)
{
    auto t0 = Clock::now();
    int status = 0;
    while (ms_since(t0) < timeout_ms) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        sleep_ms(1);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Windows may come and go between a look at the window tree and a look at
// one of them (Wine makes passing ones): such errors are not the test's.
int ignore_x_errors(Display *, XErrorEvent *) { return 0; }
} // namespace

int patience() { return getenv("VELLOMAR_GAME") ? 5 : 1; }

bool near(Rgb a, Rgb b, int tol)
{
    return std::abs(a.r - b.r) <= tol && std::abs(a.g - b.g) <= tol && std::abs(a.b - b.b) <= tol;
}

XGame::XGame(const std::string &dir)
{
    dpy_ = XOpenDisplay(nullptr);
    if (!dpy_)
        throw std::runtime_error("no X display for the end-to-end tests");
    XSetErrorHandler(ignore_x_errors);
    pid_ = spawn(dir, &out_fd_);
    find_window(5000);
    // Wait for the first present: the grey dot at its starting place.
    if (win_ && !wait_pixel(DOT1_START_X, DOT1_START_Y, GREY))
        win_ = 0;
}

XGame::~XGame()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
    drop_display();
}

void XGame::drop_display()
{
    if (dpy_)
        XCloseDisplay(dpy_);
    dpy_ = nullptr;
}

XServer::XServer()
{
    int p[2];
    if (pipe(p) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        close(p[0]);
        const std::string fd = std::to_string(p[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-noreset", "-nolisten", "tcp",
               (char *)nullptr);
        _exit(127);
    }
    close(p[1]);
    // The display number and a newline, once it listens: read to the
    // newline, as the server writes them apart and dies if the pipe is
    // closed in between.
    std::string number;
    char c;
    while (pid_ > 0 && read(p[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(p[0]);
    if (!number.empty() && c == '\n')
        name_ = ":" + number;
}

// As a logout ends it: SIGTERM, and the server closes every connection.
void XServer::kill_now()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

// The top-level window that holds `w`: the game's own, or Wine's desktop.
static Window top_level(Display *dpy, Window w)
{
    Window top = w, root, up = w, *kids = nullptr;
    unsigned n = 0;
    while (XQueryTree(dpy, top, &root, &up, &kids, &n) && up != root && up) {
        XFree(kids);
        kids = nullptr;
        top = up;
    }
    if (kids)
        XFree(kids);
    return top;
}

// The game's window is the one viewable 640 x 480 window on the test
// server: a top-level one, or one inside another (Wine's virtual desktop
// and its frame around the game).
static Window find_board(Display *dpy, Window parent, int depth)
{
    Window root, up, *kids = nullptr, found = 0;
    unsigned n = 0;
    if (!XQueryTree(dpy, parent, &root, &up, &kids, &n))
        return 0;
    for (unsigned i = 0; i < n && !found; i++) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(dpy, kids[i], &a) || a.map_state != IsViewable)
            continue;
        if (a.width == BOARD_W && a.height == BOARD_H)
            found = kids[i];
        else if (depth > 0)
            found = find_board(dpy, kids[i], depth - 1);
    }
    XFree(kids);
    return found;
}

// The processor time, in ticks, that the game and the processes it started
// have used, and Wine's own (its server, its desktop): a game still coming
// up on a busy machine uses more and more of it, one that hangs none.
unsigned long long work_ticks(pid_t game)
{
    unsigned long long ticks = 0;
    std::vector<std::pair<pid_t, pid_t>> procs;  // pid, parent
    if (DIR *d = opendir("/proc")) {
        while (dirent *e = readdir(d)) {
            const pid_t pid = pid_t(std::atol(e->d_name));
            std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            if (pid <= 0 || !std::getline(in, line) || line.rfind(')') == std::string::npos)
                continue;
            const std::string comm = line.substr(line.find('(') + 1, line.rfind(')') - line.find('(') - 1);
            std::istringstream rest(line.substr(line.rfind(')') + 2));
            std::string field;
            std::vector<std::string> f;
            while (rest >> field)
                f.push_back(field);
            if (f.size() < 13)
                continue;
            const pid_t parent = pid_t(std::atol(f[1].c_str()));
            procs.emplace_back(pid, parent);
            const bool wine = comm == "wineserver" || (comm.size() > 4 && comm.compare(comm.size() - 4, 4, ".exe") == 0);
            bool mine = pid == game || wine;
            for (pid_t up = parent; !mine && up > 1;) {
                mine = up == game;
                auto p = std::find_if(procs.begin(), procs.end(), [&](auto &x) { return x.first == up; });
                up = p == procs.end() ? 0 : p->second;
            }
            if (mine)
                ticks += std::stoull(f[11]) + std::stoull(f[12]);
        }
        closedir(d);
    }
    return ticks;
}

// Waits for the game's window as long as the game keeps coming up: the
// first game under a new Wine prefix on a busy machine takes a minute or
// more. Gives up once no work has been done towards it for `idle_ms`.
void XGame::find_window(int idle_ms)
{
    auto last_work = Clock::now(), last_look = last_work;
    unsigned long long work = work_ticks(pid_);
    while (ms_since(last_work) < idle_ms * patience()) {
        if (ms_since(last_look) >= 1000) {
            last_look = Clock::now();
            const unsigned long long now = work_ticks(pid_);
            if (now != work)
                last_work = last_look;
            work = now;
        }
        win_ = find_board(dpy_, DefaultRootWindow(dpy_), 2);
        if (win_) {
            // No window manager runs on the test server: give the game's
            // top-level window (Wine's desktop, which hands the keys on to
            // its active window) the keyboard focus, and put the pointer
            // over the board.
            XSetInputFocus(dpy_, top_level(dpy_, win_), RevertToParent, CurrentTime);
            XWarpPointer(dpy_, None, win_, 0, 0, 0, 0, 320, 240);
            XSync(dpy_, False);
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            reaped_ = true;
            return;
        }
        sleep_ms(10);
    }
}

void XGame::press(KeySym k) { press_code(XKeysymToKeycode(dpy_, k)); }
void XGame::release(KeySym k) { release_code(XKeysymToKeycode(dpy_, k)); }

void XGame::press_code(unsigned code)
{
    XTestFakeKeyEvent(dpy_, code, True, CurrentTime);
    XSync(dpy_, False);
}

void XGame::release_code(unsigned code)
{
    XTestFakeKeyEvent(dpy_, code, False, CurrentTime);
    XSync(dpy_, False);
}

void XGame::tap(KeySym k, int hold_ms)
{
    if (hold_ms > 0) {
        press(k);
        sleep_ms(hold_ms * patience());
        release(k);
        return;
    }
    // Shorter than any pass: the press and the release reach the server,
    // and the game, together, as from an on-screen keyboard or a script.
    const KeyCode code = XKeysymToKeycode(dpy_, k);
    XTestFakeKeyEvent(dpy_, code, True, CurrentTime);
    XTestFakeKeyEvent(dpy_, code, False, CurrentTime);
    XSync(dpy_, False);
}

Rgb XGame::pixel(int px, int py)
{
    XImage *img = XGetImage(dpy_, win_, px, py, 1, 1, AllPlanes, ZPixmap);
    if (!img)
        return {-1, -1, -1};
    unsigned long v = XGetPixel(img, 0, 0);
    auto channel = [v](unsigned long mask) {
        int shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            shift++;
        }
        return int(((v >> shift) & mask) * 255 / (mask ? mask : 1));
    };
    Rgb c{channel(img->red_mask), channel(img->green_mask), channel(img->blue_mask)};
    XDestroyImage(img);
    return c;
}

void XGame::hide_and_show()
{
    const auto wait_state = [&](int state) {
        XWindowAttributes a;
        while (XGetWindowAttributes(dpy_, win_, &a) && a.map_state != state)
            sleep_ms(5);
    };
    XUnmapWindow(dpy_, win_);
    XSync(dpy_, False);
    wait_state(IsUnmapped);
    XMapWindow(dpy_, win_);
    XSync(dpy_, False);
    wait_state(IsViewable);
}

std::vector<unsigned long> XGame::window_property(const char *name)
{
    const Window top = top_level(dpy_, win_);
    Atom type;
    int format;
    unsigned long items = 0, after;
    unsigned char *data = nullptr;
    std::vector<unsigned long> got;
    if (XGetWindowProperty(dpy_, top, XInternAtom(dpy_, name, False), 0, 1 << 20, False, AnyPropertyType, &type,
                           &format, &items, &after, &data) == Success && data) {
        if (format == 32)
            got.assign(reinterpret_cast<unsigned long *>(data), reinterpret_cast<unsigned long *>(data) + items);
        else
            for (unsigned long i = 0; i < items; i++)
                got.push_back(data[i]);
        XFree(data);
    }
    return got;
}

bool XGame::asleep()
{
    const auto state = [&] {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t end = line.rfind(')');
        return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
    };
    // A running game sleeps now and then too, for a moment, waiting on the
    // X server: twenty looks in a row, 10 ms apart, find it asleep only at
    // rest. A game that has just been let go of gets a few seconds to rest.
    for (int looks = 0, asleep = 0; looks < 500 * patience(); looks++) {
        asleep = state() == 'S' ? asleep + 1 : 0;
        if (asleep == 20)
            return true;
        sleep_ms(10);
    }
    return false;
}

// A hash of the whole board, to tell whether the game is still drawing.
static size_t board_hash(Display *dpy, Window win)
{
    XImage *img = XGetImage(dpy, win, 0, 0, BOARD_W, BOARD_H, AllPlanes, ZPixmap);
    if (!img)
        return 0;
    const size_t h = std::hash<std::string_view>()(std::string_view(img->data, size_t(img->bytes_per_line) * BOARD_H));
    XDestroyImage(img);
    return h;
}

bool XGame::wait_pixel(int px, int py, Rgb want, int tol, int timeout_ms)
{
    // Measured in the game's passes, not in wall time: the wait runs as
    // long as the board keeps changing (a held key moves its dot one pixel
    // a pass, however slowly the passes come: a few dozen a second through
    // Wine's present on a busy machine), and fails once it has stood still
    // for `timeout_ms`. A dot stops at its limit, so every wait ends.
    const int patient = timeout_ms * patience();
    auto last_change = Clock::now(), last_look = last_change;
    size_t seen = board_hash(dpy_, win_);
    do {
        if (near(pixel(px, py), want, tol))
            return true;
        sleep_ms(5);
        if (ms_since(last_look) >= 250) {
            last_look = Clock::now();
            const size_t now = board_hash(dpy_, win_);
            if (now != seen)
                last_change = last_look;
            seen = now;
        }
    } while (ms_since(last_change) < patient);
    return false;
}

int XGame::wait_exit(int timeout_ms)
{
    reaped_ = true;
    return wait_pid(pid_, timeout_ms * patience());
}

std::string XGame::output() { return drain(out_fd_); }

int run_game(const char *display, std::string *out, int timeout_ms)
{
    std::string saved = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    if (display)
        setenv("DISPLAY", display, 1);
    else
        unsetenv("DISPLAY");
    int fd = -1;
    pid_t pid = spawn("", &fd);
    if (!saved.empty())
        setenv("DISPLAY", saved.c_str(), 1);
    int status = wait_pid(pid, timeout_ms);
    *out = drain(fd);
    close(fd);
    return status;
}
