// Soak: many passes of the real frame and key pass, cycling F1, F2 and P
// one per pass, in a scratch directory. Prints the growth of resident
// memory; run it under valgrind (scripts/soak.sh) for leaks and errors.
#include "board.h"
#include "keys.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

static long resident_kb()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int main(int argc, char **argv)
{
    const long passes = argc > 1 ? std::atol(argv[1]) : 100000;
    char dir[] = "/tmp/vellomar-soak-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || !startup())
        return 1;
    watch_presses();

    const int cycle[] = {KEY_F1, KEY_F2, KEY_P};
    const long warm = passes / 10;
    long base = 0;
    for (long i = 0; i < passes; i++) {
        if (i == warm)
            base = resident_kb();
        // Keep the board changing so that every save differs from the last.
        key[KEY_RIGHT] = (i / 500) % 2 == 0;
        key[KEY_LEFT] = !key[KEY_RIGHT];
        key[KEY_F1] = key[KEY_F2] = key[KEY_P] = 0;
        key[cycle[i % 3]] = 1;
        frame();
        move();
    }
    const long end = resident_kb();
    std::printf("%ld passes: resident %ld kB after %ld passes, %ld kB at the end: growth %ld kB\n", passes, base,
                warm, end, end - base);
    shutdown();
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
