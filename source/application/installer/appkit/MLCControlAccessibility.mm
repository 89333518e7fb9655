#import "MLCControlAccessibility.h"

#include "KWString.h"
#include "MLCInstallerUIAppKit.h"

namespace {

const unsigned int kFrameHeight = 592;

// A frame rectangle (top-left origin) in screen coordinates (bottom-left).
NSRect ScreenRect(NSView* view, const LCRect& rect) {
  const NSRect inView =
      NSMakeRect(rect.left + 1, kFrameHeight - rect.bottom - 2, rect.right - rect.left, rect.bottom - rect.top);
  NSRect inWindow = [view convertRect:inView toView:nil];
  NSWindow* window = [view window];
  if (!window) return inWindow;
  if ([window respondsToSelector:@selector(convertRectToScreen:)]) return [window convertRectToScreen:inWindow];
  const NSRect frame = [window frame];
  inWindow.origin.x += frame.origin.x;
  inWindow.origin.y += frame.origin.y;
  return inWindow;
}

}  // namespace

// GCC's Objective-C++ cannot encode a std::function (nor a pointer to a
// struct holding one) in a method's or an instance variable's type: the press
// callback crosses as an untyped pointer to an MLCControlPress.

// One drawn control, or the progress bar (id -1), as an accessibility element.
@interface MLCControlElement : NSObject {
  NSView* m_view;          // not retained: the view owns the question
  LCUIControl* m_control;  // owned (GCC's Objective-C++ takes no C++ members by value)
  int m_progress;
  void* m_press;  // an owned MLCControlPress; null for the progress bar
}
- (id)initWithView:(NSView*)view control:(const LCUIControl*)control press:(const void*)press;
- (id)initWithView:(NSView*)view progress:(int)progress rect:(const LCRect*)rect;
- (BOOL)containsScreenPoint:(NSPoint)point;
@end

@implementation MLCControlElement
- (id)initWithView:(NSView*)view control:(const LCUIControl*)control press:(const void*)press {
  self = [super init];
  if (self) {
    m_view = view;
    m_control = new LCUIControl(*control);
    m_progress = -1;
    m_press = new MLCControlPress(*static_cast<const MLCControlPress*>(press));
  }
  return self;
}

- (id)initWithView:(NSView*)view progress:(int)progress rect:(const LCRect*)rect {
  self = [super init];
  if (self) {
    m_view = view;
    m_control = new LCUIControl();
    m_control->m_id = -1;
    m_control->m_rect = *rect;
    m_progress = progress;
    m_press = nullptr;
  }
  return self;
}

- (void)dealloc {
  delete m_control;
  delete static_cast<MLCControlPress*>(m_press);
  [super dealloc];
}

- (BOOL)isProgress {
  return m_control->m_id < 0;
}

- (BOOL)containsScreenPoint:(NSPoint)point {
  return NSPointInRect(point, ScreenRect(m_view, m_control->m_rect));
}

- (NSArray*)accessibilityAttributeNames {
  return [NSArray arrayWithObjects:NSAccessibilityRoleAttribute, NSAccessibilityRoleDescriptionAttribute,
                                   NSAccessibilityTitleAttribute, NSAccessibilityValueAttribute,
                                   NSAccessibilityEnabledAttribute, NSAccessibilityFocusedAttribute,
                                   NSAccessibilityParentAttribute, NSAccessibilityWindowAttribute,
                                   NSAccessibilityTopLevelUIElementAttribute, NSAccessibilityPositionAttribute,
                                   NSAccessibilitySizeAttribute, nil];
}

- (NSString*)role {
  if ([self isProgress]) return NSAccessibilityProgressIndicatorRole;
  return m_control->m_role == kLCInstallerRoleLink ? NSAccessibilityLinkRole : NSAccessibilityButtonRole;
}

- (id)accessibilityAttributeValue:(NSString*)attribute {
  if ([attribute isEqualToString:NSAccessibilityRoleAttribute]) return [self role];
  if ([attribute isEqualToString:NSAccessibilityRoleDescriptionAttribute]) {
    return NSAccessibilityRoleDescription([self role], nil);
  }
  if ([attribute isEqualToString:NSAccessibilityTitleAttribute]) return MLCToNSString(m_control->m_label);
  if ([attribute isEqualToString:NSAccessibilityValueAttribute]) {
    return [self isProgress] ? [NSNumber numberWithInt:m_progress] : nil;
  }
  if ([attribute isEqualToString:NSAccessibilityEnabledAttribute]) {
    return [NSNumber numberWithBool:[self isProgress] || m_control->m_enabled];
  }
  if ([attribute isEqualToString:NSAccessibilityFocusedAttribute]) {
    return [NSNumber numberWithBool:m_control->m_focused];
  }
  if ([attribute isEqualToString:NSAccessibilityParentAttribute]) return m_view;
  if ([attribute isEqualToString:NSAccessibilityWindowAttribute] ||
      [attribute isEqualToString:NSAccessibilityTopLevelUIElementAttribute]) {
    return [m_view window];
  }
  if ([attribute isEqualToString:NSAccessibilityPositionAttribute]) {
    return [NSValue valueWithPoint:ScreenRect(m_view, m_control->m_rect).origin];
  }
  if ([attribute isEqualToString:NSAccessibilitySizeAttribute]) {
    return [NSValue valueWithSize:ScreenRect(m_view, m_control->m_rect).size];
  }
  return nil;
}

- (BOOL)accessibilityIsAttributeSettable:(NSString*)attribute {
  (void)attribute;
  return NO;
}

- (void)accessibilitySetValue:(id)value forAttribute:(NSString*)attribute {
  (void)value;
  (void)attribute;
}

- (NSArray*)accessibilityActionNames {
  if ([self isProgress] || !m_control->m_enabled) return [NSArray array];
  return [NSArray arrayWithObject:NSAccessibilityPressAction];
}

- (NSString*)accessibilityActionDescription:(NSString*)action {
  return NSAccessibilityActionDescription(action);
}

- (void)accessibilityPerformAction:(NSString*)action {
  if (![action isEqualToString:NSAccessibilityPressAction] || [self isProgress] || !m_control->m_enabled) return;
  const MLCControlPress* press = static_cast<const MLCControlPress*>(m_press);
  if (press && *press) (*press)(m_control->m_id);
}

- (BOOL)accessibilityIsIgnored {
  return NO;
}

- (id)accessibilityHitTest:(NSPoint)point {
  (void)point;
  return self;
}

- (id)accessibilityFocusedUIElement {
  return self;
}

// Elements are made anew for every question: two stand for the same control
// when they share its id.
- (BOOL)isEqual:(id)other {
  return [other isKindOfClass:[MLCControlElement class]] && ((MLCControlElement*)other)->m_view == m_view &&
         ((MLCControlElement*)other)->m_control->m_id == m_control->m_id;
}

- (NSUInteger)hash {
  return static_cast<NSUInteger>(m_control->m_id + 1) ^ reinterpret_cast<NSUInteger>(m_view);
}
@end

namespace {

NSArray* Elements(NSView* view, const std::vector<LCUIControl>& controls, int progress, const LCRect& progressRect,
                  const MLCControlPress& press) {
  NSMutableArray* elements = [NSMutableArray arrayWithCapacity:controls.size() + 1];
  for (const LCUIControl& control : controls) {
    if (control.m_role == kLCInstallerRoleSlideDot) continue;  // pictures, not commands
    [elements addObject:[[[MLCControlElement alloc] initWithView:view control:&control press:&press] autorelease]];
  }
  if (progress >= 0) {
    [elements addObject:[[[MLCControlElement alloc] initWithView:view progress:progress
                                                            rect:&progressRect] autorelease]];
  }
  return elements;
}

}  // namespace

id MLCControlAccessibilityValue(NSView* view, NSString* attribute, const std::vector<LCUIControl>& controls,
                                int progress, const LCRect& progressRect, const MLCControlPress& press) {
  if ([attribute isEqualToString:NSAccessibilityChildrenAttribute] ||
      [attribute isEqualToString:NSAccessibilityVisibleChildrenAttribute]) {
    return Elements(view, controls, progress, progressRect, press);
  }
  if ([attribute isEqualToString:NSAccessibilityRoleAttribute]) return NSAccessibilityGroupRole;
  if ([attribute isEqualToString:NSAccessibilityFocusedUIElementAttribute]) {
    for (const LCUIControl& control : controls) {
      if (control.m_focused) {
        return [[[MLCControlElement alloc] initWithView:view control:&control press:&press] autorelease];
      }
    }
  }
  return nil;
}

id MLCControlAccessibilityHitTest(NSView* view, NSPoint screenPoint, const std::vector<LCUIControl>& controls,
                                  int progress, const LCRect& progressRect, const MLCControlPress& press) {
  NSEnumerator* elements = [Elements(view, controls, progress, progressRect, press) objectEnumerator];
  MLCControlElement* element = nil;
  while ((element = [elements nextObject])) {
    if ([element containsScreenPoint:screenPoint]) return element;
  }
  return view;
}
