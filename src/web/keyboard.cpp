// The keyboard in the browser: the page maps keys by their labels, and by
// their places on a layout without Latin letters (ports/web/keys.js),
// before they reach the library's keyboard driver (ports/web/drivers.c).
#include "platform.h"

#include <allegro.h>

int install_keys() { return install_keyboard(); }
