// How the desktop knows the game's window on X11: its class, which the
// desktop entry's StartupWMClass matches, so that a dock groups the game
// under its own entry and no other Allegro program with it; and its icon,
// which task switchers and docks show.
#include "platform.h"
#include "icon.h"

#include <allegro.h>
#include <xalleg.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace {
// Sets a property of the game's top-level window through a connection of
// our own: the library's is its background thread's, behind a lock of its
// own.
template <class Set> void on_window(Set set)
{
    if (!_xwin.display || !_xwin.wm_window)
        return;
    if (Display *dpy = XOpenDisplay(XDisplayString(_xwin.display))) {
        set(dpy, _xwin.wm_window);
        XCloseDisplay(dpy);
    }
}
} // namespace

// The library made the window when it started, with its own class, and
// puts a class only on the window inside it: the top-level one, which the
// desktop reads when it is first shown, gets it here.
void name_window()
{
    static char name[] = "vellomar", group[] = "Vellomar";
    xwin_set_window_name(name, group);
    on_window([&](Display *dpy, Window w) {
        XClassHint hint{name, group};
        XSetClassHint(dpy, w, &hint);
    });
}

void set_window_icon()
{
    on_window([](Display *dpy, Window w) {
        XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_ICON", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(ICON), int(sizeof ICON / sizeof ICON[0]));
    });
}
