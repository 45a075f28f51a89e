// How the game tells the player it can't start, on Windows.
#include "win.h"

void cannot_start(const char *what, const char *why)
{
    // A windowed program has no console: a line on stderr would go nowhere.
    std::string text = std::string("Vellomar cannot start: ") + what + ".";
    if (why[0])
        text += std::string("\n\n") + why;
    text += "\n\nIt needs 64-bit Windows 10 or 11 with a display of at least 640 x 480 in 16-bit colour or more.";
    MessageBoxA(nullptr, text.c_str(), "Vellomar", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}
