// The keyboard on X11: the keys labelled W, S, A, D and P act on every
// layout that has such labels, and on a layout without Latin letters
// (Russian, Greek, Hebrew, Arabic alone) the keys at their US places do.
//
// The library maps each X key by the first symbol of the first layout
// group, so a labelled key acts wherever the layout has it. A key whose
// symbol it doesn't know (a Cyrillic letter, say) gets whatever key code is
// free, in key order: under Russian alone some unrelated key becomes W.
// For each of the five letters the layout lacks, the key at that letter's
// US place (by its XKB name, which names the place, not the label) is
// given the letter, and a key that took the letter by chance is given what
// that key had. The change goes in as the library's [xkeymap] section,
// held in memory (no file is written): the library applies it on every
// remap, so it outlives a keymap change while the game runs.
#include "platform.h"

#include <allegro.h>
#include <xalleg.h>
#include <X11/XKBlib.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

struct Letter {
    KeySym sym;
    int code;
    const char *place;  // the XKB name of its key on a US keyboard
};
constexpr Letter LETTERS[] = {
    {XK_w, KEY_W, "AD02"}, {XK_s, KEY_S, "AC02"}, {XK_a, KEY_A, "AC01"}, {XK_d, KEY_D, "AC03"}, {XK_p, KEY_P, "AD10"},
};

// A key code that no key has, for a key that must give its letter up.
int unused_code(const int (&mapped)[256])
{
    for (int code = KEY_MAX - 1; code > 0; code--)
        if (std::find(std::begin(mapped), std::end(mapped), code) == std::end(mapped))
            return code;
    return KEY_UNKNOWN8;
}

// The [xkeymap] lines that give the five letters to their US places where
// the layout lacks them; empty where it lacks none.
std::string fallback_keymap(Display *dpy)
{
    int min = 0, max = 0, per = 0;
    XDisplayKeycodes(dpy, &min, &max);
    KeySym *syms = XGetKeyboardMapping(dpy, KeyCode(min), max - min + 1, &per);
    XkbDescPtr xkb = XkbGetMap(dpy, 0, XkbUseCoreKbd);
    std::string lines;
    if (syms && xkb && XkbGetNames(dpy, XkbKeyNamesMask, xkb) == Success && xkb->names && xkb->names->keys) {
        const auto first_symbol = [&](int kc) { return syms[size_t(per) * size_t(kc - min)]; };
        int mapped[256];
        for (int kc = 0; kc < 256; kc++)
            mapped[kc] = _xwin.keycode_to_scancode[kc];
        const int last = std::min(max, int(xkb->max_key_code));
        for (const Letter &l : LETTERS) {
            int place = 0;
            bool labelled = false;
            for (int kc = std::max(min, int(xkb->min_key_code)); kc <= last && kc < 256; kc++) {
                labelled = labelled || first_symbol(kc) == l.sym;
                if (std::strncmp(xkb->names->keys[kc].name, l.place, XkbKeyNameLength) == 0)
                    place = kc;
            }
            if (labelled || !place || mapped[place] == l.code)
                continue;
            for (int kc = min; kc <= last && kc < 256; kc++)
                if (kc != place && mapped[kc] == l.code) {
                    mapped[kc] = mapped[place] > 0 ? mapped[place] : unused_code(mapped);
                    lines += "keycode" + std::to_string(kc) + " = " + std::to_string(mapped[kc]) + "\n";
                }
            mapped[place] = l.code;
            lines += "keycode" + std::to_string(place) + " = " + std::to_string(l.code) + "\n";
        }
    }
    if (xkb)
        XkbFreeKeyboard(xkb, 0, True);
    if (syms)
        XFree(syms);
    return lines;
}

} // namespace

int install_keys()
{
    if (install_keyboard() != 0)
        return -1;
    if (!_xwin.display)
        return 0;
    Display *dpy = XOpenDisplay(XDisplayString(_xwin.display));
    if (!dpy)
        return 0;
    const std::string lines = fallback_keymap(dpy);
    XCloseDisplay(dpy);
    if (lines.empty())
        return 0;
    const std::string config = "[xkeymap]\n" + lines;
    override_config_data(config.c_str(), int(config.size()));  // parsed, not kept
    // The library reads the section when it maps the keys: at installing.
    remove_keyboard();
    return install_keyboard();
}
