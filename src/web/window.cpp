// In the browser the page is the game's window: its title and icons are
// the page's (index.html, manifest.webmanifest).
#include "platform.h"

void name_window() {}
void set_window_icon() {}
