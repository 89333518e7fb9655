#include <ApplicationServices/ApplicationServices.h>

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
