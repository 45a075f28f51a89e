// How the game tells the player it can't start, on Linux.
#include "platform.h"

#include <cstdio>

void cannot_start(const char *what, const char *why)
{
    // allegro_init() gives no reason when no X display can be opened,
    // which is by far the commonest way for start-up to fail.
    std::fprintf(stderr, "vellomar: %s: %s\n", what, why[0] ? why : "no X display could be opened");
}
