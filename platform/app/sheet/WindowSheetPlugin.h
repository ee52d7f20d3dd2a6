#ifndef KELPWORD_WINDOW_SHEET_PLUGIN_H
#define KELPWORD_WINDOW_SHEET_PLUGIN_H

/* The window sheet's plugin (kelpword-window-sheet.so), a C interface that holds no C++ object
 * and shares none: the program keeps the sheet's views, lays them out and feeds the user's actions
 * back into them; the plugin draws what it is told with GTK 4, in its own toolkit's main loop,
 * which the program runs a turn at a time from its own loop. So the plugin links GTK and nothing
 * of the program, and the program runs without it where GTK is not installed.
 *
 * The plugin exports one function, kelpword_window_sheet(). Everything is called on the main
 * thread, the one that runs the loop's turns. Strings are UTF-8, borrowed for the call. */

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Changed whenever a structure or a function's meaning changes; a plugin serves one version. */
#define KELPWORD_WINDOW_SHEET_ABI_VERSION 1u
#define KELPWORD_WINDOW_SHEET_ENTRY_POINT "kelpword_window_sheet"

enum kelpword_window_item_kind {
  KELPWORD_WINDOW_LABEL = 1,
  KELPWORD_WINDOW_BUTTON = 2,
  KELPWORD_WINDOW_PROGRESS_BAR = 3
};

enum kelpword_window_alignment {
  KELPWORD_WINDOW_ALIGN_LEFT = 0,
  KELPWORD_WINDOW_ALIGN_CENTER = 1,
  KELPWORD_WINDOW_ALIGN_RIGHT = 2,
  KELPWORD_WINDOW_ALIGN_JUSTIFIED = 3
};

/* One thing the window shows, known by an id of the program's that stays while it shows. */
struct kelpword_window_item {
  uint64_t id;
  int kind;         /* enum kelpword_window_item_kind */
  const char* text; /* a label's text, a button's title, a progress bar's line */
  int wraps;        /* labels: wrap at word boundaries */
  int alignment;    /* labels: enum kelpword_window_alignment */
  double fraction;  /* progress bars: 0 to 1 */
};

/* Where an item goes, in points from the content's top-left corner. */
struct kelpword_window_frame {
  uint64_t id;
  int x;
  int y;
  int width;
  int height;
};

/* What the user does, told to the program during a loop turn. */
struct kelpword_window_events {
  void* program;
  /* A key the sheet may take as a key equivalent ("\r" for Return); whether it took it. */
  int (*key)(void* program, const char* key);
  void (*clicked)(void* program, uint64_t item);
  /* The window manager's close; the window stays until close_window(). */
  void (*close_requested)(void* program);
};

struct kelpword_window;

struct kelpword_window_sheet_plugin {
  uint32_t abi_version; /* KELPWORD_WINDOW_SHEET_ABI_VERSION */

  /* Whether a window can be shown: GTK opened the display that the environment names, and the
   * accessibility bus is connected (the program may refuse new connections once this returns).
   * Initialises GTK the first time, which sets the process's locale. */
  int (*display_available)(void);

  /* The toolkit's main loop. acquire() makes the calling thread its owner (0: another thread
   * owns it); release() gives it up. turn() runs one whole turn without waiting (prepare, query,
   * check, dispatch) and names what to wait for before the next: the descriptors, kept by the
   * plugin until the next turn, and a time-out in milliseconds (-1: none). It returns whether the
   * turn dispatched anything, after which another turn should follow at once. Run a turn too
   * after any call below: those change what the loop has to do. */
  int (*loop_acquire)(void);
  void (*loop_release)(void);
  int (*loop_turn)(const struct pollfd** fds, size_t* count, int* timeout_ms);

  /* A window with `title`, not yet shown; events go to `events`, copied. */
  struct kelpword_window* (*open_window)(const char* title,
                                         const struct kelpword_window_events* events);
  void (*set_title)(struct kelpword_window* window, const char* title);
  /* The items the window shows from now on, front last: new ones are made, gone ones removed. */
  void (*set_items)(struct kelpword_window* window, const struct kelpword_window_item* items,
                    size_t count);
  /* The size `item` takes when at most `max_width` wide. */
  void (*measure)(struct kelpword_window* window, uint64_t item, double max_width, double* width,
                  double* height);
  int (*right_to_left)(struct kelpword_window* window);
  /* Where the items go, the content's size, and the button that Return presses (0: none). */
  void (*place)(struct kelpword_window* window, const struct kelpword_window_frame* frames,
                size_t count, int width, int height, uint64_t default_button);
  void (*present)(struct kelpword_window* window);
  /* Takes the window off the screen at once, and frees it; no event follows. */
  void (*close_window)(struct kelpword_window* window);
};

/* The plugin's one exported function: its table for `abi_version`, or NULL where it serves
 * another version. Looked up by name (KELPWORD_WINDOW_SHEET_ENTRY_POINT) where the plugin is
 * loaded, called directly where its code is linked in. */
typedef const struct kelpword_window_sheet_plugin* kelpword_window_sheet_entry(
    uint32_t abi_version);
__attribute__((visibility("default"))) kelpword_window_sheet_entry kelpword_window_sheet;

#ifdef __cplusplus
}
#endif

#endif
