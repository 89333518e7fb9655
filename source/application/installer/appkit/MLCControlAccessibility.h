// The frame is one picture: the controls drawn into it exist for a screen
// reader only through these elements. A view that shows the frame answers the
// accessibility questions with MLCControlAccessibility, built from the UI
// core's list of controls each time it is asked, so that it never disagrees
// with what hit-testing and the focus ring use.
//
//   - (id)accessibilityAttributeValue:(NSString*)attribute {
//     id value = MLCControlAccessibilityValue(self, attribute, controls, progress, barRect, press);
//     return value ? value : [super accessibilityAttributeValue:attribute];
//   }
#pragma once

#import <AppKit/AppKit.h>

#include <functional>
#include <vector>

#include "LCInstallerUITypes.h"

// Main thread. Presses a control as a click on it would.
typedef std::function<void(LCInstallerButtonId)> MLCControlPress;

// The view's own answer for attribute (its children: one element per control,
// and the progress bar at progressRect while it is shown; progress is -1
// otherwise), or nil
// where the view's class should answer. Frame coordinates are the view's
// minus the one-pixel left and two-pixel top inset of the frame in the view.
id MLCControlAccessibilityValue(NSView* view, NSString* attribute, const std::vector<LCUIControl>& controls,
                                int progress, const LCRect& progressRect, const MLCControlPress& press);
// The element under a point on the screen, or the view itself.
id MLCControlAccessibilityHitTest(NSView* view, NSPoint screenPoint, const std::vector<LCUIControl>& controls,
                                  int progress, const LCRect& progressRect, const MLCControlPress& press);
