#include "keys.h"

#include "board.h"
#include "platform.h"
#include "snapshot.h"

#include <algorithm>
#include <atomic>
#include <iterator>

// key[] is the held state only: a press and its release that both come
// between two reads (an on-screen keyboard, a remote desktop, a switch, or
// a pass that takes long) leave it 0 at both, and the press is lost. The
// library's keyboard handler, on its own thread, notes every press here as
// well, numbered, and the next key pass takes the notes.
// A spin lock guards them and the notes below: it is held for a few dozen
// instructions at a time, and the Windows toolchain has no std::mutex.
static std::atomic_flag notes_busy = ATOMIC_FLAG_INIT;
struct NotesLock {
    NotesLock()
    {
        while (notes_busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~NotesLock() { notes_busy.clear(std::memory_order_release); }
};
static unsigned pressed[KEY_MAX];  // number of the first press since the last take, 0 for none
static unsigned presses;
// Down as the handler last reported it. The system's autorepeat reports a
// held key pressed again every few dozen ms (Windows does, and X does); that
// is no new press. Counted as one, the repeat of a key let go just before
// another was pressed would act after it: F1 held, then Space, saved the
// cleared board.
static bool reported_down[KEY_MAX];

static void note_press(int scancode)
{
    const int k = scancode & 0x7f;
    {
        NotesLock lock;
        if (scancode & 0x80)
            reported_down[k] = false;
        else if (!reported_down[k]) {
            reported_down[k] = true;
            if (!pressed[k])
                pressed[k] = ++presses;
        }
    }
    // Any press or release may end the game's rest; one that changes
    // nothing costs a pass.
    wake_game();
}

void watch_presses() { keyboard_lowlevel_callback = note_press; }

bool esc_pressed()
{
    bool tapped;
    {
        NotesLock lock;
        tapped = pressed[KEY_ESC] != 0;
        pressed[KEY_ESC] = 0;
    }
    return tapped || key[KEY_ESC];
}

// The keys of the key pass, in the order it reads them.
static constexpr int PASS_ORDER[] = {KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_W,  KEY_S,
                                     KEY_A,  KEY_D,    KEY_SPACE, KEY_F1,   KEY_F2, KEY_P};

// The presses this key pass is offered, by number (0 for none), and those
// it holds back for the next one. Only the game's thread uses these. A
// press is offered to one pass, as long as presses before it wait, and
// then to one pass alone: one whose key that pass does not read (Space
// while D is held, a step after a dot blocked at its limit) is dropped, as
// a held key is, and never acts later.
static unsigned offered[KEY_MAX];
static unsigned held_back[KEY_MAX];  // for the next pass
static bool acted;                   // whether the last pass read a key as down

// All presses noted since the last take become this pass's, at one moment:
// one that comes while the pass runs belongs to the next. A press held back
// by the last pass is older than any new one.
static void take_presses()
{
    NotesLock lock;
    for (int k : PASS_ORDER) {
        // A key pressed again before the pass that takes its waiting press
        // acts once there, as a key held across both would.
        offered[k] = held_back[k] ? held_back[k] : pressed[k];
        pressed[k] = held_back[k] = 0;
    }
}

void forget_presses()
{
    NotesLock lock;
    for (int k = 0; k < KEY_MAX; k++) {
        pressed[k] = offered[k] = held_back[k] = 0;
        reported_down[k] = false;
    }
}

// Whether a press made before `at` must act before the press of `k` made at
// `at`, and has not yet: one of a key this pass reads after `k`, or one it
// has held back.
static bool earlier_press_waits(int k, unsigned at)
{
    bool later = false;
    for (int other : PASS_ORDER) {
        if ((later && offered[other] && offered[other] < at) || (held_back[other] && held_back[other] < at))
            return true;
        later = later || other == k;
    }
    return false;
}

// A step's read of its key: held now, or pressed for this pass.
static bool down(int k)
{
    const unsigned at = offered[k];
    if (!at) {
        const bool held = key[k];
        acted = acted || held;
        return held;
    }
    offered[k] = 0;
    // Presses offered to one pass act in the order they were made: F1 then
    // Space saves the drawing and then clears it, however the pass orders
    // its steps. One made after a press that must act first waits for the
    // next pass, even if it is held by now (acting as held, Space would
    // clear the board before F1 saved it). It waits for as many passes as
    // that takes: F2, F1 and Space tapped within one pass load, save and
    // clear in three, so that the save holds the drawing. The oldest press
    // never waits, so none waits more passes than there are presses before
    // it.
    if (earlier_press_waits(k, at)) {
        held_back[k] = at;
        return false;
    }
    acted = true;
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

void move()
{
    acted = false;
    take_presses();
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

// Whether `k` is held or a press of it waits to act; under the lock.
static bool in_play(int k) { return key[k] || pressed[k] || held_back[k]; }

bool nothing_to_do()
{
    if (acted)
        return false;
    NotesLock lock;
    return std::none_of(std::begin(PASS_ORDER), std::end(PASS_ORDER), in_play) && !in_play(KEY_ESC);
}

bool held_or_pressed(int k)
{
    NotesLock lock;
    return in_play(k);
}
