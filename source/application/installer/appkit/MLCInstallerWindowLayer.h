// What the units of the AppKit window layer share among themselves. The
// layer is split by concern:
//
//   MLCInstallerUICore.mm   the core's window-system members (CreateUI ...)
//   MLCAssets.mm            the installer's pictures, the icon, pixel layouts
//   MLCInstallerView.mm     the window, its view and the frame shown in it
//   MLCFrameTimer.mm        the UI timer and its pace
//   MLCInput.mm             keys, pointer and screen-reader presses to the core
//   MLCMessageBox.mm        message boxes, also asked for on the service thread
//   MLCApplication.mm       the application: menu, event loop, activation
//   MLCApplicationDelegate.mm  a quit the system asks for: Dock, logout, shutdown
//   MLCDisplayLoss.mm       the lost display
//
// Main thread unless said otherwise. Objective-C++ only.
#pragma once

#import <AppKit/AppKit.h>

#include "KWGeometry.h"
#include "KWPath.h"
#include "KWString.h"
#include "KWTimer.h"
#include "LCInstallerUICore.h"

// The frame's size in points.
extern const KWUINTSize kMLCUISize;

// The core the window shows; null until CreateUI.
extern LCInstallerUICore* g_pUICore;

// --- Assets --------------------------------------------------------------

// A file of the bundle's Contents/Resources.
KWPath MLCResourcePath(const char* fileName);
// The application's own icon, read once and kept for the process; nil
// (logged once) when it cannot be read.
NSImage* MLCLoadApplicationIcon();

// --- The window and the frame ---------------------------------------------

// The borderless installer window with the frame's view in it, centred on
// the main display and not yet shown.
NSWindow* MLCCreateInstallerWindow(NSString* title);
// Hands the frame to the view.
void MLCPresentFrame(const LCBGRAImage& frame);

// Makes the UI timer's ticks NSTimers on the main run loop.
void MLCInstallUITimerBackend();
// The UI timer's tick: a frame only when something visible changed.
void MLCUITimerCallBack(KWTimerID id, void* data);
// Wakes a resting UI tick (wake), or lets it rest when nothing changes on its own.
void MLCPaceUITick(LCInstallerUICore* core, bool wake);

// Fires KWTimers from NSTimers on the main run loop; wake: does nothing but
// make the run loop look at its posted events.
@interface MLCTimerTarget : NSObject
- (void)fire:(NSTimer*)timer;
+ (void)wake:(NSTimer*)timer;
@end

// --- Input ----------------------------------------------------------------

// A pointer event to the core in frame coordinates.
void MLCForwardPointer(NSView* view, NSEvent* event, void (LCInstallerUICore::*handler)(int, int));
// Key-down to the core's keys; false for a key the core does not use.
bool MLCForwardKey(NSEvent* event);
// The download's percentage while the bar shows it, else -1.
int MLCAccessibleProgress();
// An accessibility press: the control's click, with the tick woken as for a pointer.
void MLCPressControl(LCInstallerButtonId id);

// --- Message boxes ----------------------------------------------------------

// Main thread: runs the box modally and returns its answer.
LCInstallerMBResult MLCRunAlert(const KWString& title, const KWString& message, LCInstallerMBType type,
                                LCInstallerMBDefaultButton defaultButton);
// Any thread but the main one: queues the box and waits for the answer.
LCInstallerMBResult MLCAskOnMainThread(const KWString& title, const KWString& message, LCInstallerMBType type,
                                       LCInstallerMBDefaultButton defaultButton);
// Any thread. Called when the user has confirmed quitting: boxes waiting for
// the main thread are answered with their neutral answer, and no new one is
// shown. lockMilliseconds >= 0 bounds the wait for the boxes' lock (false
// when it was not had in time); the lost display's quit may not wait on end.
bool MLCAbandonPendingMessageBoxes(int lockMilliseconds = -1);

// --- The application --------------------------------------------------------

// Builds the application menu with its Quit item, where the AppKit shows one.
void MLCInstallApplicationMenu(LCInstallerUICore* core, NSString* processName);
// Stops [NSApp run] and wakes it so that it returns.
void MLCStopApplication();
// Posts an event that wakes a loop waiting for input (one told to stop
// looks again only after an event).
void MLCWakeEventLoop();
// Makes a quit the system asks for (Dock, logout) take the installer's quit path.
void MLCInstallApplicationDelegate();

// --- The lost display -------------------------------------------------------

// Handed to MLCWatchForDisplayLoss: boxes answered, the service stopped
// without the display; false when the service did not end in time.
bool MLCQuitWithoutTheDisplay();
