#import <AppKit/AppKit.h>

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
