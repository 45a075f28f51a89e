// The keyboard on Windows: the library's own driver, which maps the keys
// labelled W, S, A, D and P by the window's layout with the fix we carry
// for it (ports/windows/allegro-patches/05-letter-keys-by-layout.patch).
#include "win.h"

int install_keys() { return install_keyboard(); }
