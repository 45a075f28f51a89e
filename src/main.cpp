// Vellomar: a keyboard drawing toy. A map of the program:
// - The state lives in board.cpp: the dots (x, y, x2, y2), the board
//   (buffer), the held picture (load), the palette (pal); rules.h names the
//   sizes, colours and limits. Start-up and the frame pass are there too.
// - A pass of the loop below: the frame pass, frame() (stamp both dots,
//   present the board), then the key pass, move() in keys.cpp (the dots,
//   Space, then F1, F2 and P of snapshot.cpp). The keyboard's handler notes
//   every press on the library's thread (keys.cpp), so that a tap acts.
// - A save (F1): snapshot.cpp writes the BMP in memory and hands it to
//   savefile.cpp, which replaces load.bmp through the platform's primitives
//   (platform.h; src/linux, src/windows, src/web). In the browser the game
//   runs in a worker of the page: its platform writes to the worker's memory,
//   and on_saved() passes each save to the page's code (ports/web/game.js,
//   store.js), which keeps it in the browser's storage.
// - At rest (nothing held, nothing to act on) the loop sleeps in the
//   platform's wait_for_wake() until a key is pressed or let go.
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
