// Keys, the pointer and screen-reader presses, handed to the core. Each wakes
// the UI tick around the core's handling.
#import <AppKit/AppKit.h>

#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerWindowLayer.h"

namespace {

// Input wakes the UI tick before and after the core acts on it: the press may
// open a modal box, whose loop must draw the dimmed frame behind it, and the
// tick may have fallen asleep while a box was up.
struct TickAwake {
  TickAwake() { MLCPaceUITick(g_pUICore, true); }
  ~TickAwake() { MLCPaceUITick(g_pUICore, true); }
};

}  // namespace

// Cocoa's origin is the bottom left; the frame's is the top left, and the
// frame sits one pixel right of and two pixels above the view's origin.
void MLCForwardPointer(NSView* view, NSEvent* event, void (LCInstallerUICore::*handler)(int, int)) {
  if (!g_pUICore) return;
  MKWAutoReleasePoolWrapper pool;
  const NSPoint point = [view convertPoint:[event locationInWindow] fromView:nil];
  const int x = static_cast<int>(point.x - 1);
  const int y = static_cast<int>(kMLCUISize.height - (point.y + 2));
  TickAwake awake;
  (g_pUICore->*handler)(x, y);
}

int MLCAccessibleProgress() {
  const LCInstallerStateEnum state = g_pUICore->GetState();
  return state == kLCInstallerStateDownloading ? g_pUICore->GetProgress() : -1;
}

void MLCPressControl(LCInstallerButtonId id) {
  if (!g_pUICore) return;
  TickAwake awake;
  g_pUICore->OnMouseClick(id);
}

bool MLCForwardKey(NSEvent* event) {
  if (!g_pUICore) return false;
  NSString* characters = [event charactersIgnoringModifiers];
  if ([characters length] == 0) return false;
  const unichar character = [characters characterAtIndex:0];
  const NSUInteger flags = [event modifierFlags];
  const bool shift = (flags & NSShiftKeyMask) != 0;
  LCInstallerKey key;
  switch (character) {
    case '\r':
    case 3:  // keypad Enter
      key = kLCInstallerKeyReturn;
      break;
    case '\t':
      key = shift ? kLCInstallerKeyBackTab : kLCInstallerKeyTab;
      break;
    case 25:  // Shift-Tab as some keyboards send it
      key = kLCInstallerKeyBackTab;
      break;
    case ' ':
      key = kLCInstallerKeySpace;
      break;
    case 27:
      key = kLCInstallerKeyEscape;
      break;
    case 'q':
    case 'Q':
      // Cmd-Q also reaches the menu on macOS; Ctrl-Q is the Linux desktops' quit.
      if (!(flags & (NSControlKeyMask | NSCommandKeyMask))) return false;
      key = kLCInstallerKeyQuit;
      break;
    default:
      return false;
  }
  MKWAutoReleasePoolWrapper pool;
  // Woken like a pointer event: a key may move the focus ring or open a box.
  TickAwake awake;
  return g_pUICore->OnKey(key);
}

// The view keeps receiving drag events without a capture.
void LCInstallerUICore::PlatformDoMouseCapture() {}

void LCInstallerUICore::PlatformReleaseMouseCapture() {}

LCInstallerWindowRef LCInstallerUICore::PlatformGetMouseCapture() { return m_window; }
