/* The yardstick for keystate: the least a program can do to print the three
 * lock states on X11, one XKB indicator read, in keystate's order
 * (Num,Scroll,Caps). */
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <stdio.h>

int main(void) {
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) return 1;
  const char* names[3] = {"Num Lock", "Scroll Lock", "Caps Lock"};
  Atom atoms[3];
  XInternAtoms(display, (char**)names, 3, False, atoms);
  unsigned state = 0;
  XkbGetIndicatorState(display, XkbUseCoreKbd, &state);
  int on[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    int index = -1;
    XkbGetNamedIndicator(display, atoms[i], &index, NULL, NULL, NULL);
    on[i] = index >= 0 && (state >> index & 1u);
  }
  printf("%d,%d,%d\n", on[0], on[1], on[2]);
  XCloseDisplay(display);
  return 0;
}
