// Files and the game's end in the browser. The current folder lives in the
// page's memory; the page stores each save in the browser's own storage
// (IndexedDB) the moment the game has made it, and checks a dropped picture
// here before it becomes load.bmp. The browser gives no signals to catch
// and shows no stderr: a failed start is told on the page.
#include "platform.h"
#include "bmpcheck.h"
#include "snapshot.h"

#include <allegro.h>
#include <emscripten.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool write_all(int fd, const unsigned char *data, size_t size)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// The file the last save left, to tell whether anything has touched it
// since: the page's own writes (a dropped picture) are new files renamed
// over it.
struct Saved {
    bool valid = false;
    dev_t dev;
    ino_t ino;
    off_t size;
    time_t mtime;
} saved;

bool as_saved(const struct stat &st)
{
    return saved.valid && st.st_dev == saved.dev && st.st_ino == saved.ino && st.st_size == saved.size &&
           st.st_mtime == saved.mtime;
}

// The temporary file beside `path`, in its folder.
std::string temporary_for(const std::string &path, int n)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return folder + ".load-" + std::to_string(n) + ".bmp";
}

} // namespace

// The page stores the bytes before the pass goes on: a reload, close or
// crash of the tab after this pass keeps the save.
EM_JS(void, web_saved, (const unsigned char *data, size_t size), {
    Module.vellomarSaved(HEAPU8.subarray(data, data + size));
});
EM_JS(void, web_cannot_start, (const char *text), { Module.vellomarCannotStart(UTF8ToString(text)); });

bool replace_file(const char *path, const unsigned char *data, size_t size)
{
    saved.valid = false;
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    // Where an in-place write would be refused, so is this.
    if (exists && !S_ISREG(st.st_mode))
        return false;
    static int made = 0;
    std::string tmp;
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0; tries++) {
        tmp = temporary_for(path, ++made);
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    const bool ok = write_all(fd, data, size) && close(fd) == 0 && rename(tmp.c_str(), path) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    if (stat(path, &st) == 0)
        saved = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtime};
    web_saved(data, size);
    return true;
}

bool still_holds(const char *path, const unsigned char *data, size_t size)
{
    (void)data;
    struct stat st;
    return saved.valid && saved.size == off_t(size) && stat(path, &st) == 0 && as_saved(st);
}

bool read_file(const char *path, size_t max, std::vector<unsigned char> &out)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || size_t(st.st_size) > max)
        return false;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    close(fd);
    return got == out.size();
}

// The largest file F2 reads: the page refuses a larger one by its size,
// unread.
extern "C" EMSCRIPTEN_KEEPALIVE size_t vellomar_max_file() { return BMP_MAX_FILE; }

// Whether F2 could read `size` bytes at `data`: the page asks before a
// dropped or picked file becomes load.bmp.
extern "C" EMSCRIPTEN_KEEPALIVE int vellomar_readable(const unsigned char *data, size_t size)
{
    RGB palette[PAL_SIZE];
    BITMAP *bmp = size <= BMP_MAX_FILE ? read_snapshot(data, size, palette) : nullptr;
    if (bmp)
        destroy_bitmap(bmp);
    return bmp != nullptr;
}

void cannot_start(const char *what, const char *why)
{
    const std::string text = std::string("Vellomar cannot start: ") + what + (why[0] ? std::string(": ") + why : "");
    std::fprintf(stderr, "%s\n", text.c_str());
    web_cannot_start(text.c_str());
}

volatile std::sig_atomic_t stop_signal = 0;

void catch_stop_signals() {}

void end_by_stop_signal() {}

// The library's keyboard driver for this platform maps keys by their labels
// itself.
int install_keys() { return install_keyboard(); }
