// The borderless installer window and the view that shows the frame. The
// view hands pointer events and screen-reader questions to MLCInput.mm.
#import <AppKit/AppKit.h>

#include <memory>

#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCControlAccessibility.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"
#include "MLCMainDisplay.h"
#include "MLCWindowSystem.h"

const KWUINTSize kMLCUISize = {868, 592};

// Shows the frame and hands pointer events to the core in frame coordinates.
@interface MLCImageView : NSImageView {
  NSTrackingArea* trackingArea;
}
@end

@implementation MLCImageView
// Tracking areas are looked up at run time: GNUstep's views have none and get
// mouse-moved events from the window instead (see MLCCreateInstallerWindow).
+ (BOOL)hasTrackingAreas {
  return [NSView instancesRespondToSelector:@selector(addTrackingArea:)];
}

- (void)replaceTrackingArea {
  if (![MLCImageView hasTrackingAreas]) return;
  if (trackingArea) {
    [self performSelector:@selector(removeTrackingArea:) withObject:trackingArea];
    [trackingArea release];
  }
  // mouse-moved | active-always
  trackingArea = [[NSTrackingArea alloc] initWithRect:[self bounds] options:0x82 owner:self userInfo:nil];
  [self performSelector:@selector(addTrackingArea:) withObject:trackingArea];
}

- (void)viewWillMoveToWindow:(NSWindow*)window {
  [super viewWillMoveToWindow:window];
  if (!trackingArea) [self replaceTrackingArea];
}

- (void)updateTrackingAreas {
  [self replaceTrackingArea];
  SEL selector = @selector(updateTrackingAreas);
  if ([NSImageView instancesRespondToSelector:selector]) {
    IMP inherited = [NSImageView instanceMethodForSelector:selector];
    reinterpret_cast<void (*)(id, SEL)>(reinterpret_cast<void (*)()>(inherited))(self, selector);
  }
}

- (void)dealloc {
  if (trackingArea) {
    [self performSelector:@selector(removeTrackingArea:) withObject:trackingArea];
    [trackingArea release];
  }
  [super dealloc];
}

// The first click into a window of an inactive application is a click too.
- (BOOL)acceptsFirstMouse:(NSEvent*)event {
  (void)event;
  return YES;
}

- (void)mouseDown:(NSEvent*)event {
  MLCForwardPointer(self, event, &LCInstallerUICore::OnLButtonDown);
}

- (void)mouseUp:(NSEvent*)event {
  MLCForwardPointer(self, event, &LCInstallerUICore::OnLButtonUp);
}

- (void)mouseMoved:(NSEvent*)event {
  MLCForwardPointer(self, event, &LCInstallerUICore::OnMouseMove);
}

- (void)mouseDragged:(NSEvent*)event {
  MLCForwardPointer(self, event, &LCInstallerUICore::OnMouseMove);
}

// A screen reader sees the drawn controls and the progress bar as elements of
// their own (MLCControlAccessibility.h) and presses them as a click would.
- (BOOL)accessibilityIsIgnored {
  return NO;
}

- (id)accessibilityAttributeValue:(NSString*)attribute {
  if (g_pUICore) {
    id value = MLCControlAccessibilityValue(self, attribute, g_pUICore->GetControls(), MLCAccessibleProgress(),
                                            g_pUICore->GetProgressBarRect(), MLCPressControl);
    if (value) return value;
  }
  // NSView answers the rest on macOS; GNUstep's views declare none of it.
  SEL selector = @selector(accessibilityAttributeValue:);
  if (![NSImageView instancesRespondToSelector:selector]) return nil;
  IMP inherited = [NSImageView instanceMethodForSelector:selector];
  return reinterpret_cast<id (*)(id, SEL, NSString*)>(reinterpret_cast<void (*)()>(inherited))(self, selector,
                                                                                               attribute);
}

- (id)accessibilityHitTest:(NSPoint)point {
  if (!g_pUICore) return self;
  return MLCControlAccessibilityHitTest(self, point, g_pUICore->GetControls(), MLCAccessibleProgress(),
                                        g_pUICore->GetProgressBarRect(), MLCPressControl);
}
@end

// The borderless installer window: it takes key focus, which AppKit refuses a
// borderless window by default, and turns the window system's close request
// into the core's quit path.
@interface MLCInstallerWindow : NSWindow
@end

@implementation MLCInstallerWindow
- (BOOL)canBecomeKeyWindow {
  return YES;
}

- (BOOL)canBecomeMainWindow {
  return YES;
}

- (void)performClose:(id)sender {
  (void)sender;
  // A box up is answered first; its own close request answers it.
  if (!g_pUICore || [[NSApplication sharedApplication] modalWindow]) return;
  MKWAutoReleasePoolWrapper pool;
  g_pUICore->OnWindowCloseRequest();
}

- (BOOL)windowShouldClose:(id)sender {
  [self performClose:sender];
  return NO;
}

// GNUstep sets the window's protocols and icon afresh each time it maps the window.
- (void)orderWindow:(NSWindowOrderingMode)place relativeTo:(NSInteger)otherWindow {
  [super orderWindow:place relativeTo:otherWindow];
  if (place != NSWindowOut) {
    MLCAcceptCloseRequests(self);
    MLCSetWindowIcon(self);
  }
}

- (void)keyDown:(NSEvent*)event {
  if (!MLCForwardKey(event)) [super keyDown:event];
}
@end

namespace {

MLCImageView* g_imageView = nil;
NSBitmapImageRep* g_frameRep = nil;
std::shared_ptr<const unsigned char[]> g_frameBytes;

}  // namespace

// The window draws straight from the core's frame buffer: a representation
// over those bytes, made again only when the core's buffer changes, shown by
// an image that keeps no cache of its own. The frame exists once, and no
// frame costs an allocation. (The colour bytes are in red, green, blue order
// on this layer: MLCBitmapToBGRA delivers them so; alpha is 255 throughout.)
void MLCPresentFrame(const LCBGRAImage& frame) {
  const unsigned int width = frame.GetWidth();
  const unsigned int height = frame.GetHeight();
  if (!g_imageView) return;

  MKWAutoReleasePoolWrapper pool;
  if (frame.IsEmpty()) {
    [g_imageView setImage:nil];
    [g_frameRep release];
    g_frameRep = nil;
    g_frameBytes.reset();
    return;
  }
  if (!g_frameRep || g_frameBytes.get() != frame.GetData() ||
      [g_frameRep pixelsWide] != static_cast<NSInteger>(width) ||
      [g_frameRep pixelsHigh] != static_cast<NSInteger>(height)) {
    [g_imageView setImage:nil];
    [g_frameRep release];
    // Held here too, so that the bytes outlive the core's own frame for as
    // long as the window may draw them.
    g_frameBytes = frame.ShareData();
    g_frameRep = MLCNewRGBARep(const_cast<unsigned char*>(g_frameBytes.get()), width, height);
    // In points: a 2x frame fills the same 868 x 592 points at twice the pixels.
    const int scale = g_pUICore ? g_pUICore->GetRenderScale() : 1;
    const NSSize size = NSMakeSize(width / scale, height / scale);
    [g_frameRep setSize:size];
    NSImage* image = [[NSImage alloc] initWithSize:size];
    [image setCacheMode:NSImageCacheNever];
    [image addRepresentation:g_frameRep];
    [g_imageView setImage:image];
    [image release];
  }
  // Asking for the bytes tells AppKit that they changed.
  [g_frameRep bitmapData];
  [[g_imageView image] recache];
  [g_imageView setNeedsDisplay:YES];
  // While a box is up, GNUstep's modal loop redraws only the box's window;
  // the installer window is drawn here so that it stays live behind it.
  if ([[NSApplication sharedApplication] modalWindow]) {
    NSWindow* window = [g_imageView window];
    [window displayIfNeeded];
    [window flushWindow];
  }
}

NSWindow* MLCCreateInstallerWindow(NSString* title) {
  const KWIntRect display = MLCGetMainDisplayRect();
  const int left = (display.left + display.right - static_cast<int>(kMLCUISize.width)) / 2;
  const int top = (display.top + display.bottom - static_cast<int>(kMLCUISize.height)) / 2;
  const int bottom = display.Height() - (top + static_cast<int>(kMLCUISize.height));
  NSWindow* window =
      [[MLCInstallerWindow alloc] initWithContentRect:NSMakeRect(left, bottom, kMLCUISize.width, kMLCUISize.height)
                                            styleMask:0
                                              backing:NSBackingStoreBuffered
                                                defer:NO];
  [window setReleasedWhenClosed:NO];
  [window setTitle:title];
  [window setBackgroundColor:[NSColor whiteColor]];
  // Tracking areas deliver mouse-moved events on macOS; GNUstep needs the
  // window to ask for them as well.
  [window setAcceptsMouseMovedEvents:YES];
  [window setHasShadow:YES];

  g_imageView = [[MLCImageView alloc] initWithFrame:NSMakeRect(0, 0, kMLCUISize.width, kMLCUISize.height)];
  [g_imageView setImageFrameStyle:NSImageFrameNone];
  [g_imageView setImageScaling:NSImageScaleNone];
  [g_imageView setEditable:NO];
  [[window contentView] addSubview:g_imageView];
  return window;
}
