// The AppKit window layer's members of LCInstallerUICore: setting the window
// up and the calls the core makes into the window system. The layer's other
// units are in appkit/ (MLCInstallerWindowLayer.h lists them).
//
// AppKit is used on the main thread only. The service thread reaches this
// layer through BreakEventProcessingLoop, ShowMessageBox and the menu-bar
// helper; those calls are carried over to the main thread. Only a message box
// makes the service thread wait (MLCMessageBox.mm).
#import <AppKit/AppKit.h>

#include "KWLogger.h"
#include "KWSystemUtils.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"
#include "MLCMainDisplay.h"
#include "MLCMainThread.h"
#include "MLCWindowSystem.h"

LCInstallerUICore* g_pUICore = nullptr;

namespace {
bool g_firstFrameShown = false;  // main thread
}  // namespace

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
  MLCWatchForDisplayLoss(MLCQuitWithoutTheDisplay);
  MLCInstallApplicationDelegate();
  MLCSetActivationPolicy(kMLCActivationRegular);
  if (NSImage* icon = MLCLoadApplicationIcon()) [app setApplicationIconImage:icon];

  NSString* processName = [[NSProcessInfo processInfo] processName];
  MLCInstallApplicationMenu(this, processName);
  NSWindow* window = MLCCreateInstallerWindow(MLCToNSString(LCInstallerText::Get("installer.name")));
  m_window = window;

  MLCInstallUITimerBackend();
  StartUIAndWelcomeScreen(MLCUITimerCallBack);
  // The window appears with its first frame, not blank before it.
  if (RenderUI()) MLCPresentFrame(GetRenderedUI());
  [window makeKeyAndOrderFront:nil];
  [window makeFirstResponder:window];
  MLCBringToFront();
  if (!g_firstFrameShown) KWLOG("UI: first frame shown");
  g_firstFrameShown = true;
  m_trayHelper.Initialize(m_window, m_initParams);
  return 0;
}

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
