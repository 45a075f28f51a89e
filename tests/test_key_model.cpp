// The key pass against a model of the key rules (holds, taps and their order)
// written apart from move(). Both play the same key sequences; after every
// pass the dots, the pass's events in order (C clear, S save, L load, P paste)
// and Esc must agree.
#include "fixture.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

// The keys in the order the key pass reads them; the frame loop reads Esc.
enum Key { UP, DOWN, LEFT, RIGHT, W, S, A, D, SPACE, F1, F2, P, ESC, NKEYS };
const int scancode[NKEYS] = {KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_W, KEY_S, KEY_A,
                             KEY_D, KEY_SPACE, KEY_F1, KEY_F2, KEY_P, KEY_ESC};
const char *const key_name[NKEYS] = {"Up", "Down", "Left", "Right", "W", "S", "A",
                                     "D", "Space", "F1", "F2", "P", "Esc"};

bool has(const std::vector<int> &presses, int k) { return std::count(presses.begin(), presses.end(), k) > 0; }

struct Model {
    int dot[4]; // x, y, x2, y2
    bool file, held, esc_since = false, down[NKEYS] = {};
    std::vector<int> waiting; // presses not yet acted on, in the order made

    void press(int k)
    {
        if (!std::exchange(down[k], true)) // else an autorepeat: no new press
            k == ESC ? void(esc_since = true) : waiting.push_back(k);
    }
    bool esc() { return std::exchange(esc_since, false) || down[ESC]; }

    // One key pass; `during(event)` may press keys while it saves or loads.
    template <class During> std::string pass(During during)
    {
        // Presses offered to the pass act in the order made, a key's second
        // press with its first (its step reads once). A press waits for the
        // next pass behind an earlier press that waits, or one of a step
        // still to come in this pass. Space's step comes after D's, which
        // decides it: where D reads as down Space's press is dropped unread,
        // and from D's step on nothing waits for it.
        std::vector<int> now, back;
        bool space_dropped = false;
        for (int k : waiting) {
            if (has(now, k) || has(back, k))
                continue;
            if (k == SPACE && (has(now, D) || (down[D] && !has(waiting, D)))) {
                space_dropped = true;
                continue;
            }
            const bool behind = !back.empty() || std::any_of(now.begin(), now.end(), [&](int j) { return j > k; }) ||
                                (space_dropped && k < D);
            (behind ? back : now).push_back(k);
        }
        waiting = back; // presses made during the pass go after these
        // A key held at its read acts, unless a press of it offered to the
        // pass waits. Presses made during the pass hold nothing back.
        auto acts = [&](int k) { return has(now, k) || (down[k] && !has(back, k)); };
        std::string events;
        for (int k = UP; k <= P; k++) {
            if (!acts(k) || (k == SPACE && acts(D))) {
            } else if (k <= D) {
                static const int coord_of[] = {1, 1, 0, 0, 3, 3, 2, 2}; // into dot[]
                const int c = coord_of[k], dir = k % 2 ? 1 : -1;
                // At its limit the pass ends here, and drops the presses it was
                // offered of the keys it doesn't read, waiting or not.
                if (dir < 0 ? dot[c] <= DOT_MIN : dot[c] >= (c % 2 ? DOT_MAX_Y : DOT_MAX_X)) {
                    waiting.erase(std::remove_if(waiting.begin(), waiting.end(), [&](int w) { return w > k; }),
                                  waiting.end());
                    return events;
                }
                dot[c] += dir;
            } else if (k == SPACE) {
                events += 'C';
            } else if (k == F1) {
                events += 'S', file = held = true, during('S');
            } else if (k == F2) {
                events += 'L', during('L'), held = file;
            } else if (held) {
                events += 'P';
            }
        }
        return events;
    }
};

// A sequence is words: "+D" press (an autorepeat if D is down), "-D" release,
// "D" tap, "x2=629" put a dot, "." one pass. "S:+P" or "L:+P" presses P while
// the next pass saves or loads, or just after that pass if it does neither.
using Acts = std::vector<std::string>;
Acts words(const char *text) { std::istringstream in(text); return {std::istream_iterator<std::string>(in), {}}; }
char when(const std::string &act) { return act.size() > 2 && act[1] == ':' ? act[0] : ' '; }

// Makes `act` on the model, or on the game if there is none, as the library's
// keyboard handler reports a key: its state, then the press or release.
void make(std::string act, Model *m = nullptr)
{
    int *const coord[4] = {&x, &y, &x2, &y2};
    act.erase(0, when(act) == ' ' ? 0 : 2);
    if (size_t eq = act.find('='); eq != std::string::npos) {
        const int c = (act[0] == 'y') + 2 * (eq == 2);
        (m ? m->dot[c] : *coord[c]) = std::stoi(act.substr(eq + 1));
        return;
    }
    const char op = act[0] == '+' || act[0] == '-' ? act[0] : 't';
    int k = 0;
    while (act.substr(op != 't') != key_name[k])
        if (++k == NKEYS)
            throw std::invalid_argument("no such key: " + act);
    if (op != '-')
        m ? m->press(k) : void((key[scancode[k]] = -1, keyboard_lowlevel_callback(scancode[k])));
    if (op != '+')
        m ? void(m->down[k] = false) : void((key[scancode[k]] = 0, keyboard_lowlevel_callback(scancode[k] | 0x80)));
}

// Makes the acts of `due` meant for `event` (all of them for 0).
void make_due(Acts &due, char event, Model *m = nullptr)
{
    for (auto it = due.begin(); it != due.end();)
        !event || when(*it) == event ? (make(*it, m), it = due.erase(it)) : ++it;
}

// The game's events are seen where it touches the library: the snapshot
// file's stat (a load begins), its folder opened (a save begins), and the
// board's drawing table (a clear, a paste). Acts due then are made there.
std::string *events = nullptr; // the events of the pass under way, or null
Acts game_due;
GFX_VTABLE hooked, *plain;
void seen(char event) { events ? void((*events += event, make_due(game_due, event))) : void(); }

std::string view(const int *d, const std::string &events, bool esc)
{
    std::ostringstream o;
    o << "(" << d[0] << "," << d[1] << ") (" << d[2] << "," << d[3] << ") events '" << events << "' esc " << esc;
    return o.str();
}

// Random keys over 16 passes, from dots put near their limits, where a held
// key soon ends the pass. A press of a key already down is an autorepeat.
Acts random_acts(std::mt19937 &rng)
{
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    auto near_limit = [&](int c) {
        const int v = pick(2) ? DOT_MIN + pick(3) : (c % 2 ? DOT_MAX_Y : DOT_MAX_X) - pick(3);
        return std::string(c % 2 ? "y" : "x") + (c > 1 ? "2=" : "=") + std::to_string(v);
    };
    Acts acts;
    bool down[NKEYS] = {};
    for (int c = 0; c < 4; c++)
        if (pick(2))
            acts.push_back(near_limit(c));
    for (int pass = 0; pass < 16; pass++) {
        if (pick(8) == 0)
            acts.push_back(near_limit(pick(4)));
        for (int n = pick(5), inside = pick(3) ? 0 : 1 + pick(2); n + inside > 0;) {
            const std::string when = n > 0 ? (n--, "") : (inside--, pick(2) ? "S:" : "L:");
            const int k = pick(NKEYS);
            const char *op = down[k] ? (pick(3) ? "-" : "+") : (pick(2) ? "" : "+");
            down[k] = *op ? *op == '+' : down[k];
            acts.push_back(when + op + key_name[k]);
        }
        acts.push_back(".");
    }
    return acts;
}

} // namespace

extern "C" int stat(const char *path, struct stat *st) noexcept
{
    static auto real = reinterpret_cast<int (*)(const char *, struct stat *)>(dlsym(RTLD_NEXT, "stat"));
    if (!strcmp(path, SNAPSHOT_FILE))
        seen('L');
    return real(path, st);
}

// A save opens the snapshot file's folder first, whether it then writes the
// file or finds it holds that picture already; openings in a row are one.
extern "C" int openat(int dir, const char *path, int flags, ...)
{
    static auto real = reinterpret_cast<int (*)(int, const char *, int, ...)>(dlsym(RTLD_NEXT, "openat"));
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = va_arg(rest, mode_t);
    va_end(rest);
    if (dir == AT_FDCWD && !strcmp(path, ".") && (flags & O_DIRECTORY) && events &&
        (events->empty() || events->back() != 'S'))
        seen('S');
    return real(dir, path, flags, mode);
}

// Each sequence starts from the game's start-up state: no file, no press
// noted, no Esc.
class ModelledKeys : public Game {
protected:
    void SetUp() override
    {
        Game::SetUp();
        hooked = *(plain = buffer->vtable);
        hooked.clear_to_color = [](BITMAP *b, int c) { b == buffer ? seen('C') : void(), plain->clear_to_color(b, c); };
        hooked.draw_sprite = [](BITMAP *b, BITMAP *s, int u, int v) {
            b == buffer ? seen('P') : void(), plain->draw_sprite(b, s, u, v);
        };
        buffer->vtable = &hooked;
        restart();
    }
    void TearDown() override
    {
        buffer->vtable = plain;
        unlink(SNAPSHOT_FILE);
        EXPECT_EQ(rmdir(dir_.c_str()), 0) << "a save left files beside " << SNAPSHOT_FILE;
        mkdir(dir_.c_str(), 0700);  // for the fixture to remove
        Game::TearDown();
    }
    void restart() { release_all(), start_state(), esc_pressed(), unlink(SNAPSHOT_FILE); }

    // Plays `acts` on the game and the model from where the game stands:
    // empty if they agree after every pass, else the acts up to the first
    // pass where they don't and both sides' view of it. `passes` gets each
    // pass's events, "|" between passes.
    std::string play(const Acts &acts)
    {
        passes.clear();
        int n = 0;
        Model m{{x, y, x2, y2}, access(SNAPSHOT_FILE, F_OK) == 0, load != nullptr, false, {}, {}};
        Acts model_due;
        std::string log;
        game_due.clear();
        for (const std::string &act : acts) {
            log += (log.empty() ? "" : " ") + act;
            if (act != ".") {
                when(act) == ' ' ? (make(act, &m), make(act)) : (model_due.push_back(act), game_due.push_back(act));
                continue;
            }
            std::string got, want = m.pass([&](char event) { make_due(model_due, event, &m); });
            events = &got;
            move();
            events = nullptr;
            make_due(model_due, 0, &m), make_due(game_due, 0);
            passes += (n++ ? "|" : "") + got;
            const int dots[4] = {x, y, x2, y2};
            if ((want = view(m.dot, want, m.esc())) != (got = view(dots, got, esc_pressed())))
                return log + "\n    model: " + want + "\n    game:  " + got;
        }
        return "";
    }

    // The smallest sequence, dropping acts one at a time, that still fails.
    Acts shrink(Acts acts)
    {
        for (size_t i = acts.size(); i-- > 0;) {
            Acts fewer = acts;
            fewer.erase(fewer.begin() + i);
            restart();
            if (!play(fewer).empty())
                acts = fewer, i = acts.size(); // and try every act again
        }
        return acts;
    }

    std::string passes;
};

// VELLOMAR_KEYS_SCRIPT="x2=629 F1 +D P ." replays one sequence instead.
TEST_F(ModelledKeys, KeyPassActsAsTheRulesSayOverRandomSequences)
{
    if (const char *script = getenv("VELLOMAR_KEYS_SCRIPT")) {
        EXPECT_EQ(play(words(script)), "");
        return;
    }
    const int runs = 2000;
    int failures = 0;
    for (int seed = 1; seed <= runs; seed++) {
        std::mt19937 rng(seed);
        const Acts acts = random_acts(rng);
        restart();
        const std::string why = play(acts);
        if (!why.empty() && ++failures <= 5) {
            const Acts least = shrink(acts);
            restart();
            ADD_FAILURE() << "seed " << seed << ": " << why << "\n  smallest: " << play(least);
        }
    }
    EXPECT_EQ(failures, 0) << "of " << runs << " sequences";
}

// Sequences whose ends are known apart from the model: each pass's events,
// dot 1's height, and whether the board and the file show the mark.
TEST_F(ModelledKeys, KnownSequencesEndAsTheRulesSay)
{
    const int mark = makecol(0, 0, 255);
    auto marked = [&](BITMAP *b) { return b && getpixel(b, 320, 240) == mark; };
    struct Case { const char *acts, *passes; int y; bool on_board, in_file; } cases[] = {
        {"F1 . F2 Space P . . .", "S|L|CP|", 15, true, true},         // the picture pasted last stays
        {"x2=629 F1 +D P . . .", "S||", 15, true, true},              // P waits behind D, which ends the pass
        {"F1 . F2 F1 Space . . . .", "S|L|S|C|", 15, false, true},    // the file holds the drawing
        {"y=12 +Up . +A Down . -Up .", "||", 11, true, false},        // Down, frozen by Up, never moves
        {"D +P Space . . -P F1 .", "||S", 15, true, true},            // Space behind D is dropped
        {"F1 F1 S:+P . . . -P .", "SP|P|P|", 15, true, true},         // held in F1, then pressed, then held
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.acts);
        restart();
        putpixel(buffer, 320, 240, mark);
        EXPECT_EQ(play(words(c.acts)), "");
        EXPECT_EQ(passes, c.passes);
        EXPECT_EQ(y, c.y);
        EXPECT_EQ(marked(buffer), c.on_board);
        std::unique_ptr<BITMAP, void (*)(BITMAP *)> saved(load_bitmap(SNAPSHOT_FILE, nullptr), destroy_bitmap);
        EXPECT_EQ(marked(saved.get()), c.in_file);
    }
}
