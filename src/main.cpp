#include "board.h"
#include "keys.h"
#include "stopping.h"

int main()
{
    if (!startup())
        return 1;
    watch_presses();

    while (!esc_pressed() && !stop_signal) {
        frame();
        move();
    }

    shutdown();
    end_by_stop_signal();
    return 0;
}
END_OF_MAIN()
