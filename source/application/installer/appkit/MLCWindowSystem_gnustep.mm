#include "MLCWindowSystem.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <GNUstepGUI/GSDisplayServer.h>
#include <atomic>
#include <cstdint>

#include "KWLogger.h"
#include "KWSystemUtils.h"

namespace {

bool (*g_onDisplayLoss)() = nullptr;
std::atomic<bool> g_displayLost{false};

Display* ServerDisplay() { return static_cast<Display*>([GSCurrentServer() serverDevice]); }

Window XWindowOf(NSWindow* window) {
  if (!window || [window windowNumber] <= 0) return 0;
  // This back end hands out the X window's id itself.
  return static_cast<Window>(
      reinterpret_cast<uintptr_t>([GSCurrentServer() windowDevice:static_cast<int>([window windowNumber])]));
}

void AddProtocol(Display* display, Window window, Atom protocol) {
  Atom* protocols = nullptr;
  int count = 0;
  if (XGetWMProtocols(display, window, &protocols, &count)) {
    for (int i = 0; i < count; ++i) {
      if (protocols[i] == protocol) {
        XFree(protocols);
        return;
      }
    }
  }
  Atom* extended = new Atom[count + 1];
  for (int i = 0; i < count; ++i) extended[i] = protocols[i];
  extended[count] = protocol;
  XSetWMProtocols(display, window, extended, count + 1);
  delete[] extended;
  if (protocols) XFree(protocols);
}

// Xlib ends the process when this handler returns, from inside whatever
// AppKit call found the connection gone; unwinding from here would leave
// AppKit and the service's locks in an unknown state. The quit work runs
// here, without the display, and the process ends without exit()'s
// handlers, which would wait for threads that nobody wakes.
int OnDisplayLost(Display*) {
  bool inTime = true;
  if (!g_displayLost.exchange(true)) {
    KWLOG("UI: the connection to the display is gone; quitting without it");
    if (g_onDisplayLoss) inTime = g_onDisplayLoss();
    KWSystemUtils::EndToolkitDaemons();
  }
  _exit(inTime ? 0 : 1);
  return 0;
}

}  // namespace

// GNUstep reads this when NSApp starts: no application icon tile.
void MLCRegisterApplicationDefaults() {
  NSDictionary* defaults = [NSDictionary dictionaryWithObjectsAndKeys:@"YES", @"GSSuppressAppIcon", nil];
  [[NSUserDefaults standardUserDefaults] registerDefaults:defaults];
}

// GNUstep's back end asks for close requests only for a window with a close
// button, and its window manager otherwise ends the whole connection.
void MLCAcceptCloseRequests(NSWindow* window) {
  Display* display = ServerDisplay();
  const Window xWindow = XWindowOf(window);
  if (!display || !xWindow) return;
  AddProtocol(display, xWindow, XInternAtom(display, "WM_DELETE_WINDOW", False));
  XFlush(display);
}

// GNUstep's alert panel is deferred: its X window is made here, before it
// is mapped, so that the window manager sees a dialog from the start. With a
// close button the back end also asks for its close request, which then
// reaches performClose: and the box's delegate.
void MLCMakeBoxOf(NSWindow* box, NSWindow* owner) {
  // This GNUstep has no setStyleMask:; key-value coding reaches the ivar.
  // Set before the back end makes the X window, which takes the style then.
  [box setValue:[NSNumber numberWithUnsignedInteger:[box styleMask] | NSClosableWindowMask] forKey:@"styleMask"];
  SEL makeBackendWindow = NSSelectorFromString(@"_initBackendWindow");
  if ([box windowNumber] <= 0 && [box respondsToSelector:makeBackendWindow]) {
    [box performSelector:makeBackendWindow];
  }
  Display* display = ServerDisplay();
  const Window xBox = XWindowOf(box);
  if (!display || !xBox) return;
  const Window xOwner = XWindowOf(owner);
  if (xOwner && [owner isVisible]) XSetTransientForHint(display, xBox, xOwner);
  Atom type = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
  XChangeProperty(display, xBox, XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&type), 1);
  Atom state = XInternAtom(display, "_NET_WM_STATE_MODAL", False);
  XChangeProperty(display, xBox, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeAppend,
                  reinterpret_cast<unsigned char*>(&state), 1);
  AddProtocol(display, xBox, XInternAtom(display, "WM_DELETE_WINDOW", False));
  // Motif hints: a title, a border and a close button, but nothing to
  // minimise or maximise a question with.
  const long kFunctionsAndDecorations = 1 | 2;
  const long kMoveAndClose = 4 | 32;
  const long kBorderTitleMenu = 2 | 8 | 16;
  long hints[5] = {kFunctionsAndDecorations, kMoveAndClose, kBorderTitleMenu, 0, 0};
  const Atom motif = XInternAtom(display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(display, xBox, motif, motif, 32, PropModeReplace, reinterpret_cast<unsigned char*>(hints), 5);
  XFlush(display);
}

// GNUstep shows the application menu as a floating window of its own; the
// Quit item's role goes to Ctrl-Q on the window and to the tray's menu.
bool MLCShowsApplicationMenu() { return false; }

void MLCWatchForDisplayLoss(bool (*onLoss)()) {
  g_onDisplayLoss = onLoss;
  XSetIOErrorHandler(OnDisplayLost);
}
