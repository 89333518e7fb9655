// The application's delegate: a quit the system asks for (the Dock's Quit,
// -terminate:, a logout, restart or shutdown) takes the installer's own quit
// path instead of AppKit's exit(), which would end the process mid-install
// with the service and analytics threads still running.
//
//   welcome screen                  quits at once
//   during an installation          the quit question, answered later
//                                   (NSTerminateLater); No goes on
//   logout, restart, shutdown       no question: the service is stopped, the
//                                   image detached and the session folder
//                                   removed, then the system may end us
//
// A quit the installer agrees to ends through its own event loop and main(),
// so the terminate request itself is always answered No (or Cancel): AppKit's
// own exit() never runs while the installer still has work to wind down.
#import <AppKit/AppKit.h>

#include "KWLogger.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerWindowLayer.h"
#include "MLCMainThread.h"

namespace {
bool g_poweringOff = false;  // main thread
bool g_askPending = false;   // main thread: the question is scheduled, not yet asked
// How long the service gets to wind down before a logout goes on without it;
// analytics gets its own 2 s after that.
const unsigned int kPowerOffServiceMS = 2500;
}  // namespace

@interface MLCApplicationDelegate : NSObject
- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender;
- (void)askToQuit:(id)unused;
- (void)willPowerOff:(NSNotification*)notification;
@end

@implementation MLCApplicationDelegate
- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender {
  MKWAutoReleasePoolWrapper pool;
  LCInstallerUICore* core = g_pUICore;
  // Everything is wound down already: the system may end the process.
  if (g_poweringOff || !core) return NSTerminateNow;
  // A box up is answered first; a quit under way ends on its own.
  if ([sender modalWindow] || core->IsUIDisabled() || core->IsExitRequested()) return NSTerminateCancel;
  if (core->GetState() == kLCInstallerStateWaitingForInstall) {
    KWLOG("UI: asked to quit on the welcome screen; quitting");
    core->QuitInstallation();
    core->PostAppQuitMessage();
    return NSTerminateCancel;
  }
  KWLOG("UI: asked to quit during the installation; asking the user");
  if (g_askPending) return NSTerminateLater;
  g_askPending = true;
  // In both modes: macOS runs the modal-panel mode until the reply.
  [self performSelector:@selector(askToQuit:)
             withObject:nil
             afterDelay:0
                inModes:[NSArray arrayWithObjects:NSDefaultRunLoopMode, NSModalPanelRunLoopMode, nil]];
  return NSTerminateLater;
}

- (void)askToQuit:(id)unused {
  (void)unused;
  // Once per request, in whichever mode the perform fires first.
  if (!g_askPending) return;
  g_askPending = false;
  [NSObject cancelPreviousPerformRequestsWithTarget:self selector:@selector(askToQuit:) object:nil];
  MKWAutoReleasePoolWrapper pool;
  LCInstallerUICore* core = g_pUICore;
  const bool quit = core && !core->IsExitRequested() && core->OnAppClose();
  if (quit) core->PostAppQuitMessage();
  KWLOG(quit ? "UI: quitting at the application's request" : "UI: not quitting; the installation goes on");
  [[NSApplication sharedApplication] replyToApplicationShouldTerminate:NO];
}

- (void)willPowerOff:(NSNotification*)notification {
  (void)notification;
  MKWAutoReleasePoolWrapper pool;
  if (g_poweringOff) return;
  g_poweringOff = true;
  KWLOG("UI: the system is logging out, restarting or shutting down; quitting without asking");
  // As when the display is lost: boxes the service waits for are answered,
  // the download stops where it is (no cancel, so what came in is kept as a
  // stopped run keeps it), the image is detached and the session folder goes.
  MLCAbandonPendingMessageBoxes();
  if (g_pUICore) g_pUICore->QuitWithoutDisplay(kPowerOffServiceMS);
  NSApplication* app = [NSApplication sharedApplication];
  if ([app modalWindow]) [app stopModal];
  MLCRunOnMainThreadLater(MLCStopApplication);
}
@end

void MLCInstallApplicationDelegate() {
  static MLCApplicationDelegate* delegate = nil;
  if (delegate) return;
  delegate = [[MLCApplicationDelegate alloc] init];
  [[NSApplication sharedApplication] setDelegate:(id)delegate];
  [[[NSWorkspace sharedWorkspace] notificationCenter] addObserver:delegate
                                                         selector:@selector(willPowerOff:)
                                                             name:NSWorkspaceWillPowerOffNotification
                                                           object:nil];
}
