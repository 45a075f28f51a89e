// How the game tells the player it can't start, in the browser: on the
// page, which shows no stderr.
#include "platform.h"

#include <emscripten.h>

#include <cstdio>

EM_JS(void, web_cannot_start, (const char *text), { Module.vellomarCannotStart(UTF8ToString(text)); });

void cannot_start(const char *what, const char *why)
{
    const std::string text = std::string("Vellomar cannot start: ") + what + (why[0] ? std::string(": ") + why : "");
    std::fprintf(stderr, "%s\n", text.c_str());
    web_cannot_start(text.c_str());
}
