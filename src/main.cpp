#include "board.h"

int main()
{
    if (!startup())
        return 1;

    while (!key[KEY_ESC]) {
        frame();
        move();
    }

    shutdown();
    return 0;
}
END_OF_MAIN()
