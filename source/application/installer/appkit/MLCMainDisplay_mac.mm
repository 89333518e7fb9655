#import <AppKit/AppKit.h>
#include <ApplicationServices/ApplicationServices.h>

#include "MKWAutoReleasePoolWrapper.h"
#include "MLCMainDisplay.h"

KWIntRect MLCGetMainDisplayRect() {
  KWIntRect rect;
  const CGDirectDisplayID display = CGMainDisplayID();
  if (display != 0) {
    const CGRect bounds = CGDisplayBounds(display);
    rect.left = static_cast<int>(bounds.origin.x);
    rect.top = static_cast<int>(bounds.origin.y);
    rect.right = static_cast<int>(bounds.origin.x + bounds.size.width);
    rect.bottom = static_cast<int>(bounds.origin.y + bounds.size.height);
  }
  return rect;
}

int MLCGetBackingScale() {
  MKWAutoReleasePoolWrapper pool;
  // The screen with the menu bar, where the window is centred (mainScreen is
  // the one with the key window, and there is none yet).
  NSArray* screens = [NSScreen screens];
  NSScreen* screen = [screens count] > 0 ? [screens objectAtIndex:0] : nil;
  if (!screen || ![screen respondsToSelector:@selector(backingScaleFactor)]) return 1;
  return [screen backingScaleFactor] >= 2.0 ? 2 : 1;
}
