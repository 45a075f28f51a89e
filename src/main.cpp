#include "board.h"
#include "keys.h"
#include "platform.h"
#include "stopping.h"

int main()
{
    if (!startup())
        return 1;
    watch_presses();

    while (!esc_pressed() && !stop_signal) {
        frame();
        move();
        // At rest the game sleeps until a key is pressed or let go, or a
        // stop signal comes: a board that cannot change costs nothing.
        if (nothing_to_do())
            wait_for_wake();
    }

    shutdown();
    end_by_stop_signal();
    return 0;
}
END_OF_MAIN()
