#import <AppKit/AppKit.h>
#include <stdlib.h>

#include <cstring>

#include "MKWAutoReleasePoolWrapper.h"
#include "MLCMainDisplay.h"

// GNUstep has no CoreGraphics display list; the main screen stands in. Its
// frame has the origin at the bottom left, which for the one screen of an X
// display is also the top left.
KWIntRect MLCGetMainDisplayRect() {
  MKWAutoReleasePoolWrapper pool;
  KWIntRect rect;
  NSScreen* screen = [NSScreen mainScreen];
  if (screen) {
    const NSRect frame = [screen frame];
    rect.left = static_cast<int>(frame.origin.x);
    rect.top = static_cast<int>(frame.origin.y);
    rect.right = static_cast<int>(frame.origin.x + frame.size.width);
    rect.bottom = static_cast<int>(frame.origin.y + frame.size.height);
  }
  return rect;
}

// GNUstep has no backing scale. CLIPVANE_SCALE=2 (for the window tests)
// draws the 2x frame, which the view then shows at 868 x 592 points, so that
// the 2x pictures and positions are checked on this system too.
int MLCGetBackingScale() {
  const char* scale = getenv("CLIPVANE_SCALE");
  return scale && std::strcmp(scale, "2") == 0 ? 2 : 1;
}
