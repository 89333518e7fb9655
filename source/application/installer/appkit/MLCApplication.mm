// The application around the window: its menu, its event loop, its
// activation policy, and stopping the loop when the installer quits.
#import <AppKit/AppKit.h>

#include <atomic>

#include "KWLogger.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"
#include "MLCMainThread.h"
#include "MLCWindowSystem.h"

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

namespace {

// The application-defined event that wakes an idle event loop after stop:.
const NSUInteger kApplicationDefinedEventType = 15;

MLCMenuHandler* g_menuHandler = nil;
std::atomic<bool> g_activationPolicyReported{false};

}  // namespace

void MLCInstallApplicationMenu(LCInstallerUICore* core, NSString* processName) {
  NSApplication* app = [NSApplication sharedApplication];
  g_menuHandler = [[MLCMenuHandler alloc] init:core];
  if (!MLCShowsApplicationMenu()) return;
  NSMenu* mainMenu = [[[NSMenu alloc] initWithTitle:@""] autorelease];
  NSMenuItem* appItem = [[[NSMenuItem alloc] initWithTitle:processName action:NULL keyEquivalent:@""] autorelease];
  NSMenu* appMenu = [[[NSMenu alloc] initWithTitle:processName] autorelease];
  NSString* quitTitle =
      MLCToNSString(LCInstallerText::Format("menu.quit", {{"app", KWString([processName UTF8String])}}));
  NSMenuItem* quitItem = [[[NSMenuItem alloc] initWithTitle:quitTitle action:@selector(OnAppClose:)
                                              keyEquivalent:@"q"] autorelease];
  [quitItem setTarget:g_menuHandler];
  [appMenu addItem:quitItem];
  [appItem setSubmenu:appMenu];
  [mainMenu addItem:appItem];
  [app setMainMenu:mainMenu];
}

void MLCWakeEventLoop() {
  NSEvent* wake = [NSEvent otherEventWithType:static_cast<NSEventType>(kApplicationDefinedEventType)
                                     location:NSMakePoint(0, 0)
                                modifierFlags:0
                                    timestamp:0
                                 windowNumber:0
                                      context:nil
                                      subtype:0
                                        data1:0
                                        data2:0];
  [[NSApplication sharedApplication] postEvent:wake atStart:YES];
}

void MLCStopApplication() {
  [[NSApplication sharedApplication] stop:nil];
  MLCWakeEventLoop();
  // GNUstep runs queued tasks while it works out how long to wait, and then
  // waits for the next timer or input before it looks at posted events again.
  // After OnInstallDone no timer is left, so a short one makes it look.
  [NSTimer scheduledTimerWithTimeInterval:0.01
                                   target:[MLCTimerTarget class]
                                 selector:@selector(wake:)
                                 userInfo:nil
                                  repeats:NO];
}

void MLCSetActivationPolicy(MLCActivationPolicy activationPolicy) {
  NSInteger policy = activationPolicy;
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

void LCInstallerUICore::PrepareWindowSystem() {
  MKWAutoReleasePoolWrapper pool;
  MLCRegisterApplicationDefaults();
}

int LCInstallerUICore::RunEventLoop(const std::atomic<bool>&) {
  MKWAutoReleasePoolWrapper pool;
  [[NSApplication sharedApplication] run];
  return 0;
}

void LCInstallerUICore::BreakEventProcessingLoop() { MLCRunOnMainThread(MLCStopApplication); }

void LCInstallerUICore::OnPlatformExit() {
  MLCAbandonPendingMessageBoxes();
  BreakEventProcessingLoop();
}

void LCInstallerUICore::PostAppQuitMessage() { BreakEventProcessingLoop(); }

void LCInstallerUICore::HideUI() {}

void MLCBringToFront() {
  NSApplication* app = [NSApplication sharedApplication];
  SEL activate = NSSelectorFromString(@"activate");
  if ([app respondsToSelector:activate]) {
    [app performSelector:activate];
  } else {
    [app activateIgnoringOtherApps:YES];
  }
}
