// How the desktop knows the game's window on Windows: the taskbar groups it
// by the program, and the library gives the window the icon the program
// carries as "allegro_icon" (ports/windows/vellomar.rc.in).
#include "win.h"

void name_window() {}
void set_window_icon() {}
