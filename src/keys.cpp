#include "board.h"

// One movement step. If its key is held the dot moves one pixel towards
// `limit`; a held key whose dot already stands at the limit returns false,
// which ends the whole key pass.
static bool nudge(bool held, int &pos, int step, int limit)
{
    if (!held)
        return true;
    if (step < 0 ? pos <= limit : pos >= limit)
        return false;
    pos += step;
    return true;
}

static void clear_board()
{
    clear_to_color(screen, makecol(255, 255, 255));
    clear_to_color(buffer, makecol(0, 0, 0));
    title();
}

void move()
{
    if (!nudge(key[KEY_UP], y, -1, DOT_MIN)) return;
    if (!nudge(key[KEY_DOWN], y, +1, DOT_MAX_Y)) return;
    if (!nudge(key[KEY_LEFT], x, -1, DOT_MIN)) return;
    if (!nudge(key[KEY_RIGHT], x, +1, DOT_MAX_X)) return;
    if (!nudge(key[KEY_W], y2, -1, DOT_MIN)) return;
    if (!nudge(key[KEY_S], y2, +1, DOT_MAX_Y)) return;
    if (!nudge(key[KEY_A], x2, -1, DOT_MIN)) return;

    // D and Space are one choice: Space is only looked at when D is up.
    const bool d_held = key[KEY_D];
    if (!nudge(d_held, x2, +1, DOT_MAX_X)) return;
    if (!d_held && key[KEY_SPACE])
        clear_board();

    if (key[KEY_F1]) save_snapshot();
    if (key[KEY_F2]) load_snapshot();
    if (key[KEY_P]) paste_snapshot();
}
