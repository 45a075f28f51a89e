/* The Allegro library's drivers for the web: a system driver, a graphics
 * driver whose screen is a memory bitmap the page shows on its canvas, and
 * a keyboard driver fed by the page's key events. The game runs in a
 * worker of the page (game.js), with no threads and no timer: the worker
 * gets control back, through Asyncify, from the screen's end-of-drawing
 * hook, which the library calls after each drawing on the screen, and
 * from the game's rest.
 */
#include <allegro.h>
#include <allegro/internal/aintern.h>

#include <emscripten.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

/* --- the worker's side ------------------------------------------------------- */

/* Sends rows `top` to `bottom` of the RGBA picture `rgba` (w pixels a row)
 * to the page's canvas. */
EM_JS(void, web_paint, (const uint8_t *rgba, int w, int h, int top, int bottom), {
    Module.vellomarPaint(HEAPU8.subarray(rgba + top * w * 4, rgba + (bottom + 1) * w * 4), w, h, top);
});

/* Gives the worker its turn (keys, messages from the page and other tabs)
 * and comes back as soon as it has had it, or once the page is shown again
 * if it is hidden: a hidden page must not spin a core. */
EM_ASYNC_JS(void, web_yield, (int passes), {
    await Module.vellomarYield(passes);
});

/* Waits, without a turn, until the page has a key for the game or something
 * else changed for it (the page shown again, another tab's save). */
EM_ASYNC_JS(void, web_rest, (int passes), {
    await Module.vellomarRest(passes);
});

/* The next key event the page sent: scancode | pressed << 8, or -1. */
EM_JS(int, web_next_key, (void), {
    return Module.vellomarNextKey();
});

/* --- system driver ----------------------------------------------------------- */

#define SYSTEM_WEB AL_ID('W', 'E', 'B', ' ')
#define GFX_WEB AL_ID('W', 'E', 'B', 'G')
#define KEYBOARD_WEB AL_ID('W', 'E', 'B', 'K')

static int sys_init(void)
{
    os_type = OSTYPE_UNKNOWN;
    return 0;
}

static void sys_exit(void) {}

static void sys_get_executable_name(char *output, int size)
{
    ustrzcpy(output, size, "vellomar");
}

static void sys_message(AL_CONST char *msg)
{
    EM_ASM({ console.error(UTF8ToString($0)); }, msg);
}

static int sys_desktop_color_depth(void) { return 32; }

SYSTEM_DRIVER system_web = {
    SYSTEM_WEB, EMPTY_STRING, EMPTY_STRING, "Web",
    sys_init, sys_exit, sys_get_executable_name,
    NULL, /* find_resource */
    NULL, /* set_window_title */
    NULL, /* set_close_button_callback */
    sys_message,
    NULL, /* assert */
    NULL, NULL, /* save_console_state, restore_console_state */
    NULL, NULL, NULL, NULL, NULL, /* bitmaps: the library's own */
    NULL, NULL, NULL, /* palettes and vtables: the library's own */
    NULL, NULL, /* display switching */
    sys_desktop_color_depth,
    NULL, /* get_desktop_resolution */
    NULL, /* get_gfx_safe_mode */
    NULL, /* yield_timeslice */
    NULL, NULL, NULL, NULL, /* no threads, no mutexes */
    NULL, NULL, NULL, NULL, NULL, NULL, NULL /* the driver lists below */
};

_DRIVER_INFO _system_driver_list[] = {
    {SYSTEM_WEB, &system_web, TRUE},
    {SYSTEM_NONE, &system_none, FALSE},
    {0, NULL, 0}
};

/* --- graphics driver ------------------------------------------------------------- */

static uint16_t *pixels;  /* the screen, 5-6-5 */
static uint8_t *rgba;     /* what the canvas shows */
static int dirty_top, dirty_bottom = -1;
static double last_turn;  /* when the worker last had its turn */
static double last_paint; /* when rows were last sent to the page */
static int passes;        /* ends of drawing since the worker last had its turn */

/* 5- and 6-bit channels as the X11 driver spreads them over 8 bits, so
 * that the page shows the very pixels the desktop game shows. */
static uint8_t spread5[32], spread6[64];

static uintptr_t write_line(BITMAP *bmp, int line)
{
    if (dirty_bottom < dirty_top) {
        dirty_top = dirty_bottom = line;
    } else {
        if (line < dirty_top)
            dirty_top = line;
        if (line > dirty_bottom)
            dirty_bottom = line;
    }
    return (uintptr_t)bmp->line[line];
}

static uintptr_t read_line(BITMAP *bmp, int line)
{
    return (uintptr_t)bmp->line[line];
}

static void paint_dirty_rows(void)
{
    if (dirty_bottom < dirty_top || !screen)
        return;
    const int w = screen->w;
    for (int y = dirty_top; y <= dirty_bottom; y++) {
        const uint16_t *from = pixels + (size_t)y * w;
        uint8_t *to = rgba + (size_t)y * w * 4;
        for (int x = 0; x < w; x++, to += 4) {
            const uint16_t c = from[x];
            to[0] = spread5[c >> 11];
            to[1] = spread6[(c >> 5) & 63];
            to[2] = spread5[c & 31];
            to[3] = 255;
        }
    }
    web_paint(rgba, w, screen->h, dirty_top, dirty_bottom);
    dirty_top = 0;
    dirty_bottom = -1;
    last_paint = emscripten_get_now();
}

static void take_keys(void);

/* The end of a drawing on the screen. Every few milliseconds the worker has
 * its turn, in which the page's keys and touches reach it: the page's own
 * thread is never busy with the game, so a touch is handled at once and
 * waits here for a turn at most. The rows drawn since go to the page about
 * once a frame of the display. */
#define TURN_MS 4
#define PAINT_MS 16

static void unwrite_line(BITMAP *bmp)
{
    (void)bmp;
    passes++;
    const double now = emscripten_get_now();
    if (now - last_turn < TURN_MS)
        return;
    if (now - last_paint >= PAINT_MS)
        paint_dirty_rows();
    web_yield(passes);
    passes = 0;
    last_turn = emscripten_get_now();
    take_keys();
}

/* The game's rest: the last frame sent, then nothing until the page has a
 * key for it. */
void web_wait_for_input(void)
{
    paint_dirty_rows();
    web_rest(passes);
    passes = 0;
    last_turn = emscripten_get_now();
    take_keys();
}

static BITMAP *gfx_init(int w, int h, int v_w, int v_h, int color_depth);
static void gfx_exit(BITMAP *bmp);

GFX_DRIVER gfx_web = {
    GFX_WEB, EMPTY_STRING, EMPTY_STRING, "Web canvas",
    gfx_init, gfx_exit,
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
    NULL, NULL, NULL,
    640, 480, TRUE, 0, 0, 0, 0, TRUE
};

static BITMAP *gfx_init(int w, int h, int v_w, int v_h, int color_depth)
{
    if (color_depth != 16 || (v_w && v_w != w) || (v_h && v_h != h) || w <= 0 || h <= 0) {
        ustrzcpy(allegro_error, ALLEGRO_ERROR_SIZE, "the page shows 16-bit colour only, with no virtual screen");
        return NULL;
    }
    /* 5-6-5 with red at the top, as the converter below reads it. */
    _rgb_r_shift_16 = 11;
    _rgb_g_shift_16 = 5;
    _rgb_b_shift_16 = 0;
    for (int i = 0; i < 32; i++)
        spread5[i] = (uint8_t)(255 * i / 31);
    for (int i = 0; i < 64; i++)
        spread6[i] = (uint8_t)(255 * i / 63);
    pixels = calloc((size_t)w * h, sizeof *pixels);
    rgba = calloc((size_t)w * h, 4);
    BITMAP *bmp = pixels && rgba ? _make_bitmap(w, h, (uintptr_t)pixels, &gfx_web, 16, w * 2) : NULL;
    if (!bmp) {
        free(pixels);
        free(rgba);
        pixels = NULL;
        rgba = NULL;
        ustrzcpy(allegro_error, ALLEGRO_ERROR_SIZE, "not enough memory for the screen");
        return NULL;
    }
    gfx_web.w = w;
    gfx_web.h = h;
    gfx_web.vid_mem = w * h * 2;
    bmp->write_bank = write_line;
    bmp->read_bank = read_line;
    bmp->vtable->unwrite_bank = (void *)unwrite_line;
    last_turn = last_paint = emscripten_get_now();
    return bmp;
}

/* The last frame stays on the canvas: the page says the game has ended. */
static void gfx_exit(BITMAP *bmp)
{
    (void)bmp;
    paint_dirty_rows();
    free(pixels);
    free(rgba);
    pixels = NULL;
    rgba = NULL;
}

_DRIVER_INFO _gfx_driver_list[] = {
    {GFX_WEB, &gfx_web, TRUE},
    {0, NULL, 0}
};

/* --- keyboard driver --------------------------------------------------------------- */

static int key_init(void) { return 0; }
static void key_exit(void) {}

/* What the page queued since the last turn, in order. */
static void take_keys(void)
{
    if (!keyboard_driver)
        return;
    for (int e; (e = web_next_key()) >= 0;) {
        const int scancode = e & 0xff;
        if (scancode <= 0 || scancode >= KEY_MAX)
            continue;
        if (e >> 8)
            _handle_key_press(scancode_to_ascii(scancode), scancode);
        else
            _handle_key_release(scancode);
    }
}

/* Autorepeat stays off: with it on, install_keyboard() installs the timer,
 * which needs a thread. The page drops the browser's own repeats. */
KEYBOARD_DRIVER keyboard_web = {
    KEYBOARD_WEB, EMPTY_STRING, EMPTY_STRING, "Web keyboard",
    FALSE, key_init, key_exit, NULL, NULL, NULL, NULL, NULL, NULL, NULL
};

_DRIVER_INFO _keyboard_driver_list[] = {
    {KEYBOARD_WEB, &keyboard_web, TRUE},
    {0, NULL, 0}
};

_DRIVER_INFO _timer_driver_list[] = {
    {0, NULL, 0}
};

/* --- files ------------------------------------------------------------------------------
 *
 * What the library asks of a platform about files, for the few of its
 * calls that take a name (the game reads and writes through memory). */

int _al_file_isok(AL_CONST char *filename)
{
    (void)filename;
    return TRUE;
}

uint64_t _al_file_size_ex(AL_CONST char *filename)
{
    struct stat st;
    if (stat(filename, &st) != 0) {
        *allegro_errno = errno;
        return 0;
    }
    return (uint64_t)st.st_size;
}

time_t _al_file_time(AL_CONST char *filename)
{
    struct stat st;
    if (stat(filename, &st) != 0) {
        *allegro_errno = errno;
        return 0;
    }
    return st.st_mtime;
}

/* No listing of folders: nothing in the game asks for one. */
int al_findfirst(AL_CONST char *pattern, struct al_ffblk *info, int attrib)
{
    (void)pattern;
    (void)info;
    (void)attrib;
    *allegro_errno = ENOENT;
    return -1;
}

int al_findnext(struct al_ffblk *info)
{
    (void)info;
    *allegro_errno = ENOENT;
    return -1;
}

void al_findclose(struct al_ffblk *info) { (void)info; }

int _al_drive_exists(int drive) { return drive == 0; }

int _al_getdrive(void) { return 0; }

void _al_getdcwd(int drive, char *buf, int size)
{
    (void)drive;
    if (!getcwd(buf, size) && size > 0)
        buf[0] = 0;
}
