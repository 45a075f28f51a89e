#include "board.h"

#include <atomic>

// key[] is the held state only: a press and its release that both come
// between two reads (an on-screen keyboard, a remote desktop, a switch, or
// a pass that takes long) leave it 0 at both, and the press is lost. The
// library's keyboard handler, on its own thread, notes every press here as
// well, numbered, and a read takes the note away.
static std::atomic<unsigned> pressed[KEY_MAX];  // the first press since the last read, 0 for none
static std::atomic<unsigned> presses;
// Down as the handler last reported it. The system's autorepeat reports a
// held key pressed again every few dozen ms (Windows does, and X does); that
// is no new press. Counted as one, the repeat of a key let go just before
// another was pressed would act after it: F1 held, then Space, saved the
// cleared board.
static std::atomic<bool> reported_down[KEY_MAX];

static void note_press(int scancode)
{
    const int k = scancode & 0x7f;
    if (scancode & 0x80) {
        reported_down[k].store(false, std::memory_order_relaxed);
        return;
    }
    if (reported_down[k].exchange(true, std::memory_order_relaxed))
        return;
    unsigned none = 0;
    pressed[k].compare_exchange_strong(none, presses.fetch_add(1, std::memory_order_relaxed) + 1,
                                       std::memory_order_relaxed);
}

void watch_presses() { keyboard_lowlevel_callback = note_press; }

// The keys of the key pass, in the order it reads them.
static constexpr int PASS_ORDER[] = {KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_W,  KEY_S,
                                     KEY_A,  KEY_D,    KEY_SPACE, KEY_F1,   KEY_F2, KEY_P};

// Whether a key read later in the pass than `k` was tapped before `at`.
static bool earlier_tap_read_later(int k, unsigned at)
{
    bool later = false;
    for (int other : PASS_ORDER) {
        if (later) {
            const unsigned t = pressed[other].load(std::memory_order_relaxed);
            if (t && t < at)
                return true;
        }
        later = later || other == k;
    }
    return false;
}

bool down(int k)
{
    const unsigned at = pressed[k].load(std::memory_order_relaxed);
    if (!at)
        return key[k];
    // Presses that came between two reads act in the order they were made:
    // F1 then Space saves the drawing and then clears it, however the pass
    // orders its steps. One pressed after a key that this pass reads later
    // waits for the next pass, even if it is held by now: acting as held,
    // Space would clear the board before F1 saved it.
    if (earlier_tap_read_later(k, at))
        return false;
    // Taken away before it acts: a press after this read is noted for the next.
    pressed[k].exchange(0, std::memory_order_relaxed);
    return true;
}

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
    if (!nudge(down(KEY_UP), y, -1, DOT_MIN)) return;
    if (!nudge(down(KEY_DOWN), y, +1, DOT_MAX_Y)) return;
    if (!nudge(down(KEY_LEFT), x, -1, DOT_MIN)) return;
    if (!nudge(down(KEY_RIGHT), x, +1, DOT_MAX_X)) return;
    if (!nudge(down(KEY_W), y2, -1, DOT_MIN)) return;
    if (!nudge(down(KEY_S), y2, +1, DOT_MAX_Y)) return;
    if (!nudge(down(KEY_A), x2, -1, DOT_MIN)) return;

    // D and Space are one choice: Space is only looked at when D is up.
    const bool d_held = down(KEY_D);
    if (!nudge(d_held, x2, +1, DOT_MAX_X)) return;
    if (!d_held && down(KEY_SPACE))
        clear_board();

    if (down(KEY_F1)) save_snapshot();
    if (down(KEY_F2)) load_snapshot();
    if (down(KEY_P)) paste_snapshot();
}
