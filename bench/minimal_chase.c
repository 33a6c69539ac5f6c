/* The yardstick for the bench: the least a program can do to run the same
 * chase on X11, with no window, no timers table and no event loop. It assumes
 * the locks start off and flips Num, Caps, Scroll in turn every 100 ms. */
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <time.h>

int main(void) {
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) return 1;
  const KeyCode ring[3] = {XKeysymToKeycode(display, XK_Num_Lock),
                           XKeysymToKeycode(display, XK_Caps_Lock),
                           XKeysymToKeycode(display, XK_Scroll_Lock)};
  const Atom scroll_lock = XInternAtom(display, "Scroll Lock", False);
  Bool scroll_on = False;
  for (int step = 0;; step = (step + 1) % 3) {
    const struct timespec interval = {0, 100 * 1000 * 1000};
    nanosleep(&interval, NULL);
    XTestFakeKeyEvent(display, ring[step], True, CurrentTime);
    if (step == 2) {
      scroll_on = !scroll_on;
      XkbSetNamedIndicator(display, scroll_lock, True, scroll_on, False, NULL);
    }
    XTestFakeKeyEvent(display, ring[step], False, CurrentTime);
    XFlush(display);
  }
}
