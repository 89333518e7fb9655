// The AppKit windowing layer of the UI core: assets, the borderless window,
// the menu, the frame timer, pointer and key input, close requests, the loss
// of the display and message boxes.
//
// AppKit is used on the main thread only. The service thread reaches this
// layer through BreakEventProcessingLoop, ShowMessageBox and the menu-bar
// helper; those calls are carried over to the main thread. Only a message box
// makes the service thread wait, and a box still waiting when the user quits
// is answered at once without being shown (AbandonPendingMessageBoxes): from
// then on the main thread waits for the service and could never show it.
#import <AppKit/AppKit.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "KWFileUtil.h"
#include "KWLogger.h"
#include "KWSystemUtils.h"
#include "KWTimer.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCAlertText.h"
#include "MLCControlAccessibility.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCMainDisplay.h"
#include "MLCMainThread.h"
#include "MLCWindowSystem.h"

@class MLCImageView;
@class MLCMenuHandler;
@class MLCBoxCloser;

namespace {

const KWUINTSize uiSize = {868, 592};
// The application-defined event that wakes an idle event loop after stop:.
const NSUInteger kApplicationDefinedEventType = 15;

LCInstallerUICore* g_pUICore = nullptr;
MLCImageView* g_imageView = nil;
MLCMenuHandler* g_menuHandler = nil;
MLCBoxCloser* g_boxCloser = nil;
bool g_firstFrameShown = false;  // main thread

void PaceUITick(LCInstallerUICore* core, bool wake);

}  // namespace

// Calls back into the core from the Quit menu item.
@interface MLCMenuHandler : NSObject {
  LCInstallerUICore* m_uiCore;
}
- (id)init:(LCInstallerUICore*)uiCore;
- (void)OnAppClose:(id)sender;
@end

@implementation MLCMenuHandler
- (id)init:(LCInstallerUICore*)uiCore {
  self = [super init];
  if (self) m_uiCore = uiCore;
  return self;
}

- (void)OnAppClose:(id)sender {
  (void)sender;
  MKWAutoReleasePoolWrapper pool;
  // A confirmed quit has already stopped the event loop through OnExit.
  m_uiCore->OnAppClose();
}
@end

// Shows the frame and hands pointer events to the core in frame coordinates.
@interface MLCImageView : NSImageView {
  NSTrackingArea* trackingArea;
}
@end

namespace {

// Input wakes the UI tick before and after the core acts on it: the press may
// open a modal box, whose loop must draw the dimmed frame behind it, and the
// tick may have fallen asleep while a box was up.
struct TickAwake {
  TickAwake() { PaceUITick(g_pUICore, true); }
  ~TickAwake() { PaceUITick(g_pUICore, true); }
};

// Cocoa's origin is the bottom left; the frame's is the top left, and the
// frame sits one pixel right of and two pixels above the view's origin.
void ForwardPointer(NSView* view, NSEvent* event, void (LCInstallerUICore::*handler)(int, int)) {
  if (!g_pUICore) return;
  MKWAutoReleasePoolWrapper pool;
  const NSPoint point = [view convertPoint:[event locationInWindow] fromView:nil];
  const int x = static_cast<int>(point.x - 1);
  const int y = static_cast<int>(uiSize.height - (point.y + 2));
  TickAwake awake;
  (g_pUICore->*handler)(x, y);
}

// The download's percentage while the bar shows it, else -1.
int AccessibleProgress() {
  const LCInstallerStateEnum state = g_pUICore->GetState();
  return state == kLCInstallerStateDownloading ? g_pUICore->GetProgress() : -1;
}

// An accessibility press: the control's click, with the tick woken as for a pointer.
void PressControl(LCInstallerButtonId id) {
  if (!g_pUICore) return;
  TickAwake awake;
  g_pUICore->OnMouseClick(id);
}

}  // namespace

@implementation MLCImageView
// Tracking areas are looked up at run time: GNUstep's views have none and get
// mouse-moved events from the window instead (see CreateUI).
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
  ForwardPointer(self, event, &LCInstallerUICore::OnLButtonDown);
}

- (void)mouseUp:(NSEvent*)event {
  ForwardPointer(self, event, &LCInstallerUICore::OnLButtonUp);
}

- (void)mouseMoved:(NSEvent*)event {
  ForwardPointer(self, event, &LCInstallerUICore::OnMouseMove);
}

- (void)mouseDragged:(NSEvent*)event {
  ForwardPointer(self, event, &LCInstallerUICore::OnMouseMove);
}

// A screen reader sees the drawn controls and the progress bar as elements of
// their own (MLCControlAccessibility.h) and presses them as a click would.
- (BOOL)accessibilityIsIgnored {
  return NO;
}

- (id)accessibilityAttributeValue:(NSString*)attribute {
  if (g_pUICore) {
    id value = MLCControlAccessibilityValue(self, attribute, g_pUICore->GetControls(), AccessibleProgress(),
                                            g_pUICore->GetProgressBarRect(), PressControl);
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
  return MLCControlAccessibilityHitTest(self, point, g_pUICore->GetControls(), AccessibleProgress(),
                                        g_pUICore->GetProgressBarRect(), PressControl);
}
@end

namespace {

// Key-down to the core's keys; false for a key the core does not use.
bool ForwardKey(NSEvent* event) {
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

}  // namespace

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

// GNUstep sets the window's protocols afresh each time it maps the window.
- (void)orderWindow:(NSWindowOrderingMode)place relativeTo:(NSInteger)otherWindow {
  [super orderWindow:place relativeTo:otherWindow];
  if (place != NSWindowOut) MLCAcceptCloseRequests(self);
}

- (void)keyDown:(NSEvent*)event {
  if (!ForwardKey(event)) [super keyDown:event];
}
@end

// A box's close request, and Escape where no button takes it, give the
// box's neutral answer: the modal run ends without a button.
@interface MLCBoxCloser : NSObject
- (BOOL)windowShouldClose:(id)sender;
@end

@implementation MLCBoxCloser
- (BOOL)windowShouldClose:(id)sender {
  (void)sender;
  NSApplication* app = [NSApplication sharedApplication];
  if ([app modalWindow]) [app stopModal];
  return NO;
}
@end

// GNUstep builds an alert's panel only inside runModal (macOS at init); the
// box is made the installer window's own as soon as its panel exists.
@interface NSAlert (MLCDeferredPanel)
- (void)_setupPanel;
@end

@interface MLCAlert : NSAlert
@end

namespace {
void MakeInstallerBox(NSWindow* box);
}

@implementation MLCAlert
- (void)_setupPanel {
  if ([NSAlert instancesRespondToSelector:@selector(_setupPanel)]) [super _setupPanel];
  MakeInstallerBox([self window]);
}
@end

// Fires KWTimers from NSTimers on the main run loop.
@interface MLCTimerTarget : NSObject
- (void)fire:(NSTimer*)timer;
+ (void)wake:(NSTimer*)timer;
@end

@implementation MLCTimerTarget
- (void)fire:(NSTimer*)timer {
  MKWAutoReleasePoolWrapper pool;
  KWFireUITimer(static_cast<KWTimerID>([[timer userInfo] unsignedIntValue]));
}

+ (void)wake:(NSTimer*)timer {
  (void)timer;
}
@end

namespace {

// The KWTimer backend. Timers are scheduled in the modal-panel and
// event-tracking modes as well, so the frame keeps being drawn (with the
// disabled mask) while a message box is up.
class MLCUITimerBackend : public IKWUITimerBackend {
 public:
  // Called with the timer table locked, possibly on the service thread:
  // nothing here may wait for the main thread.
  // (GCC's Objective-C++ reads a capture list with commas as a message, so
  // the lambdas in these sources capture by default.)
  bool ScheduleTimer(KWTimerID timerID, uint32_t periodMS) override {
    MLCRunOnMainThread([=] { Start(timerID, periodMS); });
    return true;
  }
  void CancelTimer(KWTimerID timerID) override {
    MLCRunOnMainThread([=] { Stop(timerID); });
  }
  // Main thread. Moves the timer's next tick to delayMS from now; its period
  // resumes after that tick.
  void SetNextTick(KWTimerID id, uint32_t delayMS) {
    std::map<KWTimerID, NSTimer*>::iterator found = m_timers.find(id);
    if (found != m_timers.end()) [found->second setFireDate:[NSDate dateWithTimeIntervalSinceNow:delayMS / 1000.0]];
  }

 private:
  void Start(KWTimerID id, uint32_t periodMS) {
    if (!m_target) m_target = [[MLCTimerTarget alloc] init];
    NSTimer* timer = [NSTimer timerWithTimeInterval:periodMS / 1000.0
                                             target:m_target
                                           selector:@selector(fire:)
                                           userInfo:[NSNumber numberWithUnsignedInt:id]
                                            repeats:YES];
    NSRunLoop* runLoop = [NSRunLoop currentRunLoop];
    [runLoop addTimer:timer forMode:NSDefaultRunLoopMode];
    [runLoop addTimer:timer forMode:NSModalPanelRunLoopMode];
    [runLoop addTimer:timer forMode:NSEventTrackingRunLoopMode];
    m_timers[id] = [timer retain];
  }
  void Stop(KWTimerID id) {
    std::map<KWTimerID, NSTimer*>::iterator found = m_timers.find(id);
    if (found == m_timers.end()) return;
    [found->second invalidate];
    [found->second release];
    m_timers.erase(found);
  }

  MLCTimerTarget* m_target = nil;
  std::map<KWTimerID, NSTimer*> m_timers;  // main thread only
};

MLCUITimerBackend g_timerBackend;

// Each 3-byte pixel becomes 4 bytes, the fourth opaque.
void CopyBGRtoBGRA(const unsigned char* source, unsigned char* target, unsigned int pixels) {
  for (unsigned int i = 0; i < pixels; ++i, source += 3, target += 4) {
    target[0] = source[0];
    target[1] = source[1];
    target[2] = source[2];
    target[3] = 255;
  }
}

// Drops the alpha byte.
void CopyBGRAtoBGR(const unsigned char* source, unsigned char* target, unsigned int pixels) {
  for (unsigned int i = 0; i < pixels; ++i, source += 4, target += 3) {
    target[0] = source[0];
    target[1] = source[1];
    target[2] = source[2];
  }
}

// Hands the frame to the view.
void PresentFrame(const LCBGRAImage& frame) {
  const unsigned int width = frame.GetWidth();
  const unsigned int height = frame.GetHeight();
  if (!frame.GetData() || width == 0 || height == 0) return;

  MKWAutoReleasePoolWrapper pool;
  NSBitmapImageRep* rep = [[NSBitmapImageRep alloc] initWithBitmapDataPlanes:NULL
                                                                  pixelsWide:width
                                                                  pixelsHigh:height
                                                               bitsPerSample:8
                                                             samplesPerPixel:3
                                                                    hasAlpha:NO
                                                                    isPlanar:NO
                                                              colorSpaceName:NSDeviceRGBColorSpace
                                                                 bytesPerRow:width * 3
                                                                bitsPerPixel:24];
  CopyBGRAtoBGR(frame.GetData(), [rep bitmapData], width * height);
  // In points: a 2x frame fills the same 868 x 592 points at twice the pixels.
  const int scale = g_pUICore ? g_pUICore->GetRenderScale() : 1;
  [rep setSize:NSMakeSize(width / scale, height / scale)];
  NSImage* image = [[NSImage alloc] initWithSize:NSMakeSize(width / scale, height / scale)];
  [image addRepresentation:rep];
  [rep release];
  [g_imageView setImage:image];
  [image release];
  // While a box is up, GNUstep's modal loop redraws only the box's window;
  // the installer window is drawn here so that it stays live behind it.
  if ([[NSApplication sharedApplication] modalWindow]) {
    NSWindow* window = [g_imageView window];
    [window displayIfNeeded];
    [window flushWindow];
  }
}

KWTimerID g_uiTickID = 0;      // main thread
bool g_uiTickResting = false;  // main thread

// Main thread. A still frame costs a wake-up per tick for nothing: when the
// core says nothing changes on its own, the tick rests until input wakes it
// (wake), with a slow tick as a safety net for a change that comes another way.
void PaceUITick(LCInstallerUICore* core, bool wake) {
  const uint32_t kRestingTickMS = 1000;
  if (wake) {
    if (g_uiTickResting && g_uiTickID) g_timerBackend.SetNextTick(g_uiTickID, 0);
    g_uiTickResting = false;
    return;
  }
  g_uiTickResting = core->GetMillisecondsToNextChange() < 0;
  if (g_uiTickResting) g_timerBackend.SetNextTick(g_uiTickID, kRestingTickMS);
}

// The UI timer's tick (main thread): a frame only when something visible changed.
void UITimerCallBack(KWTimerID id, void* data) {
  LCInstallerUICore* core = static_cast<LCInstallerUICore*>(data);
  g_uiTickID = id;
  core->GetTrayHelper().OnUITick();
  if (core->RenderUI()) PresentFrame(core->GetRenderedUI());
  PaceUITick(core, false);
}

// Un-premultiplies one row of 8-bit RGBA in place.
void Unpremultiply(unsigned char* pixels, unsigned int count) {
  for (unsigned int i = 0; i < count; ++i, pixels += 4) {
    const unsigned int alpha = pixels[3];
    if (alpha == 0 || alpha == 255) continue;
    for (int c = 0; c < 3; ++c) {
      pixels[c] = static_cast<unsigned char>(std::min(255u, (pixels[c] * 255u + alpha / 2) / alpha));
    }
  }
}

LCBGRAImage LoadBGRAImageFromResource(const KWPath& folder, const char* fileName) {
  MKWAutoReleasePoolWrapper pool;
  const KWPath path = folder.AppendNew(fileName, KWPath::kKWPathKindFile);
  NSImage* nsImage = [[[NSImage alloc] initWithContentsOfFile:MLCToNSString(path.GetPathAsKWString())] autorelease];
  NSBitmapImageRep* rep = nsImage ? [NSBitmapImageRep imageRepWithData:[nsImage TIFFRepresentation]] : nil;
  LCBGRAImage image = MLCBitmapToBGRA(rep);
  if (image.IsEmpty()) {
    KWLOG("Error - unsupported samplesPerPixel:%d for file:%s", rep ? static_cast<int>([rep samplesPerPixel]) : 0,
          fileName);
  }
  return image;
}

// Main thread.
void StopApplication() {
  NSApplication* app = [NSApplication sharedApplication];
  [app stop:nil];
  NSEvent* wake = [NSEvent otherEventWithType:static_cast<NSEventType>(kApplicationDefinedEventType)
                                     location:NSMakePoint(0, 0)
                                modifierFlags:0
                                    timestamp:0
                                 windowNumber:0
                                      context:nil
                                      subtype:0
                                        data1:0
                                        data2:0];
  [app postEvent:wake atStart:YES];
  // GNUstep runs queued tasks while it works out how long to wait, and then
  // waits for the next timer or input before it looks at posted events again.
  // After OnInstallDone no timer is left, so a short one makes it look.
  [NSTimer scheduledTimerWithTimeInterval:0.01
                                   target:[MLCTimerTarget class]
                                 selector:@selector(wake:)
                                 userInfo:nil
                                  repeats:NO];
}

// --- Message boxes -------------------------------------------------------

struct MessageBoxRequest {
  KWString title;
  KWString message;
  LCInstallerMBType type = kLCInstallerMBTypeOK;
  LCInstallerMBDefaultButton defaultButton = kLCInstallerMBDefaultButton1;
  LCInstallerMBResult result = kLCInstallerMBResultOK;
  bool done = false;
};

std::mutex g_boxMutex;
std::condition_variable g_boxAnswered;
std::vector<MessageBoxRequest*> g_pendingBoxes;  // guarded by g_boxMutex
bool g_boxesAbandoned = false;                   // guarded by g_boxMutex
MLCMessageBoxObserver g_boxObserver;             // main thread

bool IsPendingLocked(MessageBoxRequest* request) {
  return std::find(g_pendingBoxes.begin(), g_pendingBoxes.end(), request) != g_pendingBoxes.end();
}

const char* const kBoxTitle = "Ostrel Clipvane";

// Main thread: the box is titled as the product, belongs to the installer
// window (centred over it while it is shown) and takes the close request.
void MakeInstallerBox(NSWindow* box) {
  if (!box) return;
  if (!g_boxCloser) g_boxCloser = [[MLCBoxCloser alloc] init];
  [box setTitle:MLCToNSString(kBoxTitle)];
  [box setDelegate:(id)g_boxCloser];
  NSWindow* owner = static_cast<NSWindow*>(LCInstallerUICore::m_window);
  if (owner && [owner isVisible]) {
    const NSRect over = [owner frame];
    const NSRect frame = [box frame];
    [box setFrameOrigin:NSMakePoint(over.origin.x + (over.size.width - frame.size.width) / 2,
                                    over.origin.y + (over.size.height - frame.size.height) / 2)];
  } else {
    [box center];
  }
  MLCMakeBoxOf(box, owner && [owner isVisible] ? owner : nil);
}

// Main thread. Return answers with the default button and Escape with the
// neutral one; a box closed without a button gives the neutral answer.
LCInstallerMBResult RunAlertModally(const KWString& title, const KWString& message, LCInstallerMBType type,
                                    LCInstallerMBDefaultButton defaultButton) {
  MKWAutoReleasePoolWrapper pool;
  [NSApplication sharedApplication];
  NSString* defaultTitle = MLCToNSString(LCInstallerText::Get("button.ok"));
  NSString* alternateTitle = nil;
  switch (type) {
    case kLCInstallerMBTypeOKCancel:
      alternateTitle = MLCToNSString(LCInstallerText::Get("button.cancel"));
      break;
    case kLCInstallerMBTypeYesNo:
      defaultTitle = MLCToNSString(LCInstallerText::Get("button.yes"));
      alternateTitle = MLCToNSString(LCInstallerText::Get("button.no"));
      break;
    case kLCInstallerMBTypeRetryCancel:
      defaultTitle = MLCToNSString(LCInstallerText::Get("button.retry"));
      alternateTitle = MLCToNSString(LCInstallerText::Get("button.cancel"));
      break;
    default:
      break;
  }
  MLCAlert* alert = [[[MLCAlert alloc] init] autorelease];
  NSButton* first = [alert addButtonWithTitle:defaultTitle];
  NSButton* second = alternateTitle ? [alert addButtonWithTitle:alternateTitle] : nil;
  if (second && defaultButton == kLCInstallerMBDefaultButton2) {
    [first setKeyEquivalent:@""];
    [second setKeyEquivalent:@"\r"];
  } else if (second) {
    [second setKeyEquivalent:@"\033"];
  }
  MLCSetAlertTexts(alert, title, message);
  // macOS has the panel already; GNUstep makes it in runModal (MLCAlert).
  if (![NSAlert instancesRespondToSelector:@selector(_setupPanel)]) MakeInstallerBox([alert window]);
  if (g_boxObserver) g_boxObserver(message, type);
  const NSInteger answer = [alert runModal];
  KWLOG("UI: message box answered %d", static_cast<int>(answer));
  if (answer == NSAlertFirstButtonReturn) {
    switch (type) {
      case kLCInstallerMBTypeYesNo:
        return kLCInstallerMBResultYes;
      case kLCInstallerMBTypeRetryCancel:
        return kLCInstallerMBResultRetry;
      default:
        return kLCInstallerMBResultOK;
    }
  }
  // The alternate button, and a box closed without a button, give the answer
  // that changes nothing.
  return LCNeutralMessageBoxAnswer(type);
}

// Main thread. A box raised before the window exists (a start-up failure in
// main) comes before any event loop: it runs inside one, as a box of a
// launched application, since GNUstep gives a modal box no input otherwise.
LCInstallerMBResult RunAlert(const KWString& title, const KWString& message, LCInstallerMBType type,
                             LCInstallerMBDefaultButton defaultButton) {
  NSApplication* app = [NSApplication sharedApplication];
  if (g_pUICore || [app isRunning]) return RunAlertModally(title, message, type, defaultButton);
  LCInstallerMBResult result = kLCInstallerMBResultOK;
  MLCRunOnMainThreadLater([&] {
    [app activateIgnoringOtherApps:YES];
    result = RunAlertModally(title, message, type, defaultButton);
    StopApplication();
  });
  MKWAutoReleasePoolWrapper pool;
  [app run];
  return result;
}

// Main thread: shows a box that another thread waits for, unless it was
// abandoned while queued.
void PresentQueuedBox(MessageBoxRequest* request) {
  KWString title;
  KWString message;
  LCInstallerMBType type;
  LCInstallerMBDefaultButton defaultButton;
  {
    std::lock_guard<std::mutex> lock(g_boxMutex);
    if (!IsPendingLocked(request)) return;  // answered already; the asker may be gone
    title = request->title;
    message = request->message;
    type = request->type;
    defaultButton = request->defaultButton;
  }
  const LCInstallerMBResult result = RunAlert(title, message, type, defaultButton);
  std::lock_guard<std::mutex> lock(g_boxMutex);
  if (!IsPendingLocked(request)) return;
  request->result = result;
  request->done = true;
  g_pendingBoxes.erase(std::find(g_pendingBoxes.begin(), g_pendingBoxes.end(), request));
  g_boxAnswered.notify_all();
}

// Any thread but the main one: queues the box and waits for the answer.
LCInstallerMBResult AskOnMainThread(const KWString& title, const KWString& message, LCInstallerMBType type,
                                    LCInstallerMBDefaultButton defaultButton) {
  MessageBoxRequest request;
  request.title = title;
  request.message = message;
  request.type = type;
  request.defaultButton = defaultButton;
  {
    std::lock_guard<std::mutex> lock(g_boxMutex);
    if (g_boxesAbandoned) {
      KWLOG("UI: the user is quitting; message box not shown");
      return LCNeutralMessageBoxAnswer(type);
    }
    g_pendingBoxes.push_back(&request);
  }
  MessageBoxRequest* queued = &request;
  MLCRunOnMainThread([queued] { PresentQueuedBox(queued); });
  std::unique_lock<std::mutex> lock(g_boxMutex);
  g_boxAnswered.wait(lock, [&request] { return request.done; });
  return request.result;
}

// Called when the user has confirmed quitting.
void AbandonPendingMessageBoxes() {
  std::lock_guard<std::mutex> lock(g_boxMutex);
  g_boxesAbandoned = true;
  for (MessageBoxRequest* request : g_pendingBoxes) {
    request->result = LCNeutralMessageBoxAnswer(request->type);
    request->done = true;
  }
  if (!g_pendingBoxes.empty())
    KWLOG("UI: the user is quitting; %d message box(es) not shown", static_cast<int>(g_pendingBoxes.size()));
  g_pendingBoxes.clear();
  g_boxAnswered.notify_all();
}

std::atomic<bool> g_activationPolicyReported{false};

// Called by the window-system layer on the thread that found the display
// gone (the main thread, inside an AppKit call): boxes the service waits for
// are answered, the service is stopped without the display, and the process
// then ends. 2.5 s for the service leaves analytics its 2 s within 5 s.
void QuitWithoutTheDisplay() {
  AbandonPendingMessageBoxes();
  if (g_pUICore) g_pUICore->QuitWithoutDisplay(2500);
}

// A file of the bundle's Contents/Resources, found from the executable (the
// bundle lookup does not find a bundle laid out by hand on GNUstep).
KWPath ResourcePath(const char* fileName) {
  return KWFileUtil::GetCurrentExecutablePath()
      .AppendNew("Contents")
      .Append("Resources")
      .Append(fileName, KWPath::kKWPathKindFile);
}

NSImage* LoadApplicationIcon() {
  NSImage* icon = MLCLoadResourceImage("clipvane.icns");
  if (!icon || ![[icon representations] count]) {
    KWLOG("UI: the application icon %s could not be read", ResourcePath("clipvane.icns").c_str());
    return nil;
  }
  return icon;
}

}  // namespace

LCBGRAImage MLCBitmapToBGRA(NSBitmapImageRep* rep) {
  LCBGRAImage image;
  const NSInteger width = rep ? [rep pixelsWide] : 0;
  const NSInteger height = rep ? [rep pixelsHigh] : 0;
  const NSInteger samples = rep ? [rep samplesPerPixel] : 0;
  if ((samples != 3 && samples != 4) || [rep bitsPerSample] != 8 || [rep isPlanar] || width <= 0 || height <= 0) {
    return image;
  }
  image.Allocate(static_cast<unsigned int>(width), static_cast<unsigned int>(height));
  // Rows may be padded; the frame's rows are tightly packed.
  const unsigned char* source = [rep bitmapData];
  const NSInteger sourceStride = [rep bytesPerRow];
  // NSBitmapFormatAlphaNonpremultiplied (NSAlphaNonpremultipliedBitmapFormat before 10.12)
  const NSUInteger kAlphaNonpremultiplied = 1 << 1;
  const bool premultiplied = samples == 4 && !([rep bitmapFormat] & kAlphaNonpremultiplied);
  for (NSInteger row = 0; row < height; ++row) {
    unsigned char* target = image.GetData() + row * width * 4;
    const unsigned char* from = source + row * sourceStride;
    if (samples == 3) {
      CopyBGRtoBGRA(from, target, static_cast<unsigned int>(width));
    } else {
      std::copy(from, from + width * 4, target);
      // The blend expects straight colour; TIFF data from AppKit is premultiplied.
      if (premultiplied) Unpremultiply(target, static_cast<unsigned int>(width));
    }
  }
  return image;
}

NSImage* MLCImageFromBGRA(const LCBGRAImage& pixels, NSSize size) {
  if (pixels.IsEmpty()) return nil;
  const unsigned int width = pixels.GetWidth();
  const unsigned int height = pixels.GetHeight();
  NSBitmapImageRep* rep = [[[NSBitmapImageRep alloc] initWithBitmapDataPlanes:NULL
                                                                   pixelsWide:width
                                                                   pixelsHigh:height
                                                                bitsPerSample:8
                                                              samplesPerPixel:4
                                                                     hasAlpha:YES
                                                                     isPlanar:NO
                                                               colorSpaceName:NSDeviceRGBColorSpace
                                                                  bytesPerRow:width * 4
                                                                 bitsPerPixel:32] autorelease];
  // This form of the representation holds premultiplied colour.
  const unsigned char* from = pixels.GetData();
  unsigned char* to = [rep bitmapData];
  for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i, from += 4, to += 4) {
    for (int c = 0; c < 3; ++c) to[c] = static_cast<unsigned char>((from[c] * from[3] + 127) / 255);
    to[3] = from[3];
  }
  NSImage* image = [[[NSImage alloc] initWithSize:size] autorelease];
  [image addRepresentation:rep];
  return image;
}

NSImage* MLCLoadResourceImage(const char* fileName) {
  const KWString path = ResourcePath(fileName).GetPathAsKWString();
  return [[[NSImage alloc] initWithContentsOfFile:MLCToNSString(path)] autorelease];
}

NSString* MLCToNSString(const KWString& text) {
  NSString* string = [NSString stringWithUTF8String:text.c_str()];
  return string ? string : @"";
}

void MLCSetActivationPolicy(NSInteger policy) {
  MKWAutoReleasePoolWrapper pool;
  NSApplication* app = [NSApplication sharedApplication];
  SEL selector = NSSelectorFromString(@"setActivationPolicy:");
  if (![app respondsToSelector:selector]) {
    if (!g_activationPolicyReported.exchange(true)) {
      KWLOG("UI: this AppKit has no activation policy; the Dock icon is left as it is");
    }
    return;
  }
  NSInvocation* invocation = [NSInvocation invocationWithMethodSignature:[app methodSignatureForSelector:selector]];
  [invocation setSelector:selector];
  [invocation setTarget:app];
  [invocation setArgument:&policy atIndex:2];
  [invocation invoke];
}

void MLCSetMessageBoxObserverForTesting(MLCMessageBoxObserver observer) { g_boxObserver = observer; }

int MLCPendingMessageBoxCountForTesting() {
  std::lock_guard<std::mutex> lock(g_boxMutex);
  return static_cast<int>(g_pendingBoxes.size());
}

void LCInstallerUICore::PrepareWindowSystem() {
  MKWAutoReleasePoolWrapper pool;
  MLCRegisterApplicationDefaults();
}

int LCInstallerUICore::CreateUI() {
  g_pUICore = this;
  SetRenderScale(MLCGetBackingScale());
  if (GetRenderScale() == 2) KWLOG("UI: frame drawn at 2x");
  KWLOG("Loading Assets");
  LoadUIAssets();
  KWLOG("Creating Window");

  MKWAutoReleasePoolWrapper pool;
  MLCPrepareForThreads();
  NSApplication* app = [NSApplication sharedApplication];
  MLCWatchForDisplayLoss(QuitWithoutTheDisplay);
  MLCSetActivationPolicy(0);  // regular
  if (NSImage* icon = LoadApplicationIcon()) [app setApplicationIconImage:icon];

  g_menuHandler = [[MLCMenuHandler alloc] init:this];
  NSString* processName = [[NSProcessInfo processInfo] processName];
  if (MLCShowsApplicationMenu()) {
    NSMenu* mainMenu = [[[NSMenu alloc] initWithTitle:@""] autorelease];
    NSMenuItem* appItem = [[[NSMenuItem alloc] initWithTitle:processName action:NULL keyEquivalent:@""] autorelease];
    NSMenu* appMenu = [[[NSMenu alloc] initWithTitle:processName] autorelease];
    NSString* quitTitle =
        MLCToNSString(LCInstallerText::Format("menu.quit", {{"app", KWString([processName UTF8String])}}));
    NSMenuItem* quitItem = [[[NSMenuItem alloc] initWithTitle:quitTitle
                                                       action:@selector(OnAppClose:)
                                                keyEquivalent:@"q"] autorelease];
    [quitItem setTarget:g_menuHandler];
    [appMenu addItem:quitItem];
    [appItem setSubmenu:appMenu];
    [mainMenu addItem:appItem];
    [app setMainMenu:mainMenu];
  }

  const KWIntRect display = MLCGetMainDisplayRect();
  const int left = (display.left + display.right - static_cast<int>(uiSize.width)) / 2;
  const int top = (display.top + display.bottom - static_cast<int>(uiSize.height)) / 2;
  const int bottom = display.Height() - (top + static_cast<int>(uiSize.height));
  NSWindow* window =
      [[MLCInstallerWindow alloc] initWithContentRect:NSMakeRect(left, bottom, uiSize.width, uiSize.height)
                                            styleMask:0
                                              backing:NSBackingStoreBuffered
                                                defer:NO];
  [window setReleasedWhenClosed:NO];
  [window setTitle:processName];
  [window setBackgroundColor:[NSColor whiteColor]];
  // Tracking areas deliver mouse-moved events on macOS; GNUstep needs the
  // window to ask for them as well.
  [window setAcceptsMouseMovedEvents:YES];
  [window setHasShadow:YES];
  m_window = window;

  g_imageView = [[MLCImageView alloc] initWithFrame:NSMakeRect(0, 0, uiSize.width, uiSize.height)];
  [g_imageView setImageFrameStyle:NSImageFrameNone];
  [g_imageView setImageScaling:NSImageScaleNone];
  [g_imageView setEditable:NO];
  [[window contentView] addSubview:g_imageView];

  KWSetUITimerBackend(&g_timerBackend);
  StartUIAndWelcomeScreen(UITimerCallBack);
  // The window appears with its first frame, not blank before it.
  if (RenderUI()) PresentFrame(GetRenderedUI());
  [window makeKeyAndOrderFront:nil];
  [window makeFirstResponder:window];
  [app activateIgnoringOtherApps:YES];
  if (!g_firstFrameShown) KWLOG("UI: first frame shown");
  g_firstFrameShown = true;
  m_trayHelper.Initialize(m_window, m_initParams);
  return 0;
}

void LCInstallerUICore::LoadUIAssets() {
  const KWPath folder =
      KWFileUtil::GetCurrentExecutablePath().AppendNew("Contents").Append("Resources").Append("installer");
  KWLOG("Assets folder root: %s", folder.c_str());
  LoadAssetsFromFolder(folder, LoadBGRAImageFromResource);
}

int LCInstallerUICore::RunEventLoop(const std::atomic<bool>&) {
  MKWAutoReleasePoolWrapper pool;
  [[NSApplication sharedApplication] run];
  return 0;
}

void LCInstallerUICore::BreakEventProcessingLoop() { MLCRunOnMainThread(StopApplication); }

void LCInstallerUICore::OnPlatformExit() {
  AbandonPendingMessageBoxes();
  BreakEventProcessingLoop();
}

void LCInstallerUICore::PostAppQuitMessage() { BreakEventProcessingLoop(); }

void LCInstallerUICore::HideUI() {}

LCInstallerMBResult LCInstallerUICore::ShowMessageBox(const KWString& title, const KWString& message,
                                                      LCInstallerMBType type,
                                                      LCInstallerMBDefaultButton defaultButton) {
  if (MLCIsMainThread()) return RunAlert(title, message, type, defaultButton);
  return AskOnMainThread(title, message, type, defaultButton);
}

// The view keeps receiving drag events without a capture.
void LCInstallerUICore::PlatformDoMouseCapture() {}

void LCInstallerUICore::PlatformReleaseMouseCapture() {}

LCInstallerWindowRef LCInstallerUICore::PlatformGetMouseCapture() { return m_window; }

void LCInstallerUICore::PlatformMoveWindowBy(int dx, int dy) {
  MKWAutoReleasePoolWrapper pool;
  NSWindow* window = static_cast<NSWindow*>(m_window);
  if (!window) return;
  NSRect frame = [window frame];
  frame.origin.x += dx;
  frame.origin.y -= dy;  // screen y grows upwards
  [window setFrame:frame display:YES animate:NO];
}

void LCInstallerUICore::PlatformOpenURL(const KWString& url) {
  if (!KWSystemUtils::OpenURL(url)) KWLOG("UI: could not open %s in a browser", url.c_str());
}
