// The browser gives the game no signals to catch: a tab closed ends it.
#include "platform.h"

void catch_stop_signals() {}
