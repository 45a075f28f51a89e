// Opening the snapshot file in the game's memory, and keeping each save in
// the browser's storage (ports/web/store.js).
#include "web.h"

#include <emscripten.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

File open_target(const Target &t, bool write)
{
    const int fd = open(t.path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && same_file(info_of(st), t.info))
        return fd;
    if (fd >= 0)
        close(fd);
    return NO_FILE;
}

File open_to_read(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return NO_FILE;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? NO_FILE : fd;
}

bool claim_room(File, uint64_t) { return true; }

// The page's code stores the bytes before the pass goes on: a reload, close
// or crash of the tab after this pass keeps the save.
EM_JS(void, web_saved, (const unsigned char *data, size_t size), {
    Module.vellomarSaved(HEAPU8.subarray(data, data + size));
});

void on_saved(const unsigned char *data, size_t size) { web_saved(data, size); }
