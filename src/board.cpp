#include "board.h"

#include "platform.h"

int x = DOT1_START_X, y = DOT1_START_Y;
int x2 = DOT2_START_X, y2 = DOT2_START_Y;

BITMAP *buffer = nullptr;
BITMAP *load = nullptr;
PALETTE pal;

static bool fail(const char *what)
{
    cannot_start(what, allegro_error);
    return false;
}

bool startup()
{
    // The library puts in handlers of its own for Ctrl+C and kill, which
    // tear it down from inside the handler while the loop still runs, and
    // crash. Ours, which end the loop instead, go back in after it.
    catch_stop_signals();
    if (allegro_init() != 0)
        return fail("cannot start the Allegro library");
    catch_stop_signals();
    if (install_keys() != 0)
        return fail("cannot read the keyboard");
    set_color_depth(COLOR_DEPTH);
    name_window();
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, BOARD_W, BOARD_H, 0, 0) != 0)
        return fail("cannot open a 640x480 window in 16-bit colour");
    set_window_icon();
    clear_to_color(screen, colour(WHITE));
    buffer = create_bitmap(BOARD_W, BOARD_H);
    if (!buffer)
        return fail("cannot create the 640x480 board");
    start_state();
    return true;
}

void start_state()
{
    x = DOT1_START_X, y = DOT1_START_Y;
    x2 = DOT2_START_X, y2 = DOT2_START_Y;
    drop_held_picture();
    // A new bitmap holds whatever memory it was given; start from the
    // same black board that every clear leaves.
    clear_to_color(buffer, colour(BLACK));
    write_help_lines();
}

void drop_held_picture()
{
    if (load)
        destroy_bitmap(load);
    load = nullptr;
}

int colour(Rgb c) { return makecol(c.r, c.g, c.b); }

void clear_board()
{
    clear_to_color(screen, colour(WHITE));
    clear_to_color(buffer, colour(BLACK));
    write_help_lines();
}

void write_help_lines()
{
    textout_ex(buffer, font, HELP_LINE_1, 0, 0, colour(HELP_RED), 0);
    textout_ex(buffer, font, HELP_LINE_2, 0, HELP_ROW, colour(HELP_RED), 0);
}

void frame()
{
    circlefill(buffer, x2, y2, DOT_RADIUS, colour(LIGHT_RED));
    circlefill(buffer, x, y, DOT_RADIUS, colour(GREY));
    // The screen is deliberately not acquired around the pass. On X11,
    // acquire_screen() takes the lock that the library's input thread needs
    // to read key events; held across a loop that never waits, it starves
    // that thread and keys (Esc included) register up to seconds late.
    // draw_sprite() takes the lock itself for just the copy.
    draw_sprite(screen, buffer, 0, 0);
}

void shutdown()
{
    // After a save the held picture is a view onto the board, so it must
    // go before the board does.
    drop_held_picture();
    if (buffer) {
        destroy_bitmap(buffer);
        buffer = nullptr;
    }
}
