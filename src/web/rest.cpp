// The game's rest in the browser. The game learns of keys only at the
// worker's turns: the rest ends with one (ports/web/drivers.c), which takes
// the keys that came, and needs no other wake-up.
#include "platform.h"

extern "C" void web_wait_for_input();

void wait_for_wake() { web_wait_for_input(); }
void wake_game() {}
