// The AppKit half of the menu-bar helper: the status item with its icon (or,
// where the status bar gives no item, the desktop's system tray), the user
// notification and the activation policy.
//
// The mode (window or menu bar) changes at once on the calling thread, which
// may be the service thread; the AppKit work that goes with it is carried to
// the main thread without waiting, in call order. The status item and the
// views are touched on the main thread only.
#import <AppKit/AppKit.h>
#include <dlfcn.h>

#include <atomic>
#include <set>

#include "KWFileUtil.h"
#include "KWLogger.h"
#include "LCDesktopNotification.h"
#include "LCDesktopTray.h"
#include "LCInstallerSystemTrayHelper.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "LCTrayIconArt.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCMainThread.h"

typedef void (*MLCSystemTrayHelperCallback)(LCInstallerSystemTrayHelper&, const LCInstallerSystemTrayHelperAction&);

// The target of the status item's button, or (where the status item has no
// button) the view inside it; a press on either is a click on the icon.
@interface TrayIconImageView : NSImageView {
  MLCSystemTrayHelperCallback mClickAction;
  LCInstallerSystemTrayHelper* mSystemTrayHelper;
  NSStatusItem* mStatusBarItem;  // not owned
}
- (id)initWithCallBacks:(MLCSystemTrayHelperCallback)callback SystemTrayHelper:(LCInstallerSystemTrayHelper*)helper;
- (void)setStatusBarItem:(NSStatusItem*)item;
- (void)executeAction:(int)action;
- (void)statusItemButtonPressed:(id)sender;
@end

@implementation TrayIconImageView
- (id)initWithCallBacks:(MLCSystemTrayHelperCallback)callback SystemTrayHelper:(LCInstallerSystemTrayHelper*)helper {
  self = [super init];
  if (self) {
    mClickAction = callback;
    mSystemTrayHelper = helper;
    mStatusBarItem = nil;
  }
  return self;
}

- (void)setStatusBarItem:(NSStatusItem*)item {
  mStatusBarItem = item;
}

- (void)mouseDown:(NSEvent*)event {
  (void)event;
  [self executeAction:kSystemTrayActionClick];
}

- (void)rightMouseDown:(NSEvent*)event {
  (void)event;
  [self executeAction:kSystemTrayActionClick];
}

- (void)executeAction:(int)action {
  if (mClickAction && mSystemTrayHelper) mClickAction(*mSystemTrayHelper, action);
}

- (void)statusItemButtonPressed:(id)sender {
  (void)sender;
  [self executeAction:kSystemTrayActionClick];
}
@end

// UserNotifications (macOS 10.14 on) is weakly linked and GNUstep has none:
// its classes are looked up at run time and messaged through these.
@protocol MLCUserNotificationCenter
+ (id)currentNotificationCenter;
- (void)requestAuthorizationWithOptions:(NSUInteger)options completionHandler:(id)handler;
- (void)addNotificationRequest:(id)request withCompletionHandler:(id)handler;
@end

@protocol MLCNotificationContent
- (void)setTitle:(NSString*)title;
- (void)setBody:(NSString*)body;
- (void)setSound:(id)sound;
@end

@protocol MLCNotificationRequest
+ (id)requestWithIdentifier:(NSString*)identifier content:(id)content trigger:(id)trigger;
@end

// Shows our notification even while the installer is the active application.
@interface SysTrayNotificationDelegate : NSObject
- (BOOL)userNotificationCenter:(id)center shouldPresentNotification:(id)notification;
@end

@implementation SysTrayNotificationDelegate
- (BOOL)userNotificationCenter:(id)center shouldPresentNotification:(id)notification {
  (void)center;
  (void)notification;
  return YES;
}
@end

namespace {

// Helpers alive now; a task queued for one that is gone by the time it runs
// is dropped. Main thread only.
std::set<const LCInstallerSystemTrayHelper*> g_liveHelpers;
SysTrayNotificationDelegate* gNotificationDelegate = nil;
std::atomic<bool> g_statusItemReported{false};
std::atomic<bool> g_notificationReported{false};

const char* const kNotificationTitle = "Ostrel Clipvane";

// Where the icon goes while the window is hidden.
enum MenuBarPath { kMenuBarNone, kMenuBarStatusItem, kMenuBarDesktopTray };
// Whether this AppKit's status bar gives items; found out once by Initialize.
bool g_statusItemsWork = false;  // main thread
MenuBarPath g_loggedPath = kMenuBarNone;
bool g_pathLogged = false;  // main thread

// Main thread. Says once (and again when it changes) where the installer
// goes when its window is hidden.
void LogMenuBarPath(MenuBarPath path) {
  if (g_pathLogged && path == g_loggedPath) return;
  g_pathLogged = true;
  g_loggedPath = path;
  switch (path) {
    case kMenuBarStatusItem:
      KWLOG("UI: in the background the installer shows a status item in the menu bar");
      break;
    case kMenuBarDesktopTray:
      KWLOG("UI: in the background the installer shows an icon in the system tray");
      break;
    default:
      KWLOG("UI: no status item and no system tray; the window stays up and shows the progress");
      break;
  }
}

// Main thread. Some AppKits (GNUstep) have the class but give no item.
bool StatusBarGivesItems() {
  if (!NSClassFromString(@"NSStatusBar")) return false;
  NSStatusBar* bar = [NSStatusBar systemStatusBar];
  if (!bar) return false;
  NSStatusItem* probe = [bar statusItemWithLength:32];
  if (!probe) return false;
  [bar removeStatusItem:probe];
  return true;
}

void DesktopTrayClicked(void* data) {
  LCInstallerSystemTrayHelper::SystemTrayHelperCallback(*static_cast<LCInstallerSystemTrayHelper*>(data),
                                                        kSystemTrayActionClick);
}

// The icon's file from the bundle's resources by path, where the bundle
// lookup does not find it (GNUstep, for a bundle laid out by hand).
NSImage* LoadIconByPath() {
  const KWPath path = KWFileUtil::GetCurrentExecutablePath()
                          .AppendNew("Contents")
                          .Append("Resources")
                          .Append("tessel.icns", KWPath::kKWPathKindFile);
  return [[NSImage alloc] initWithContentsOfFile:MLCToNSString(path.GetPathAsKWString())];
}

// The largest of the icon's pictures as pixels.
LCBGRAImage IconPixels(NSImage* icon) {
  NSBitmapImageRep* best = nil;
  NSEnumerator* reps = [[icon representations] objectEnumerator];
  id rep = nil;
  while ((rep = [reps nextObject])) {
    if ([rep isKindOfClass:[NSBitmapImageRep class]] && (!best || [rep pixelsWide] > [best pixelsWide])) best = rep;
  }
  if (!best) best = [NSBitmapImageRep imageRepWithData:[icon TIFFRepresentation]];
  return MLCBitmapToBGRA(best);
}

// A press of either mouse button on the status item's button is a click
// (NSEventMaskLeftMouseDown | NSEventMaskRightMouseDown).
const NSUInteger kLeftOrRightMouseDownMask = (1 << 1) | (1 << 3);

// A custom view in the status item is the way of AppKits whose status item has
// no button (GNUstep); the calls are deprecated where the button exists.
void SetStatusItemView(NSStatusItem* item, NSView* view) { [item performSelector:@selector(setView:) withObject:view]; }

void RunForHelper(const LCInstallerSystemTrayHelper* helper, std::function<void()> task) {
  MLCRunOnMainThread([=] {
    if (g_liveHelpers.count(helper)) task();
  });
}

// Counts BringOutOfTray calls. Work towards the menu bar that the service
// thread queued (while a box was up, say) must not run after the window has
// been brought back in the meantime (the user quit): the installer would end
// hidden, with a status item and no Dock icon.
std::atomic<unsigned> g_restoreCount{0};

void RunTowardsTray(const LCInstallerSystemTrayHelper* helper, std::function<void()> task) {
  const unsigned restoresBefore = g_restoreCount;
  RunForHelper(helper, [=] {
    if (g_restoreCount == restoresBefore) task();
  });
}

// Created on first use rather than during static initialisation, when the
// Objective-C runtime may not have loaded the class yet.
SysTrayNotificationDelegate* NotificationDelegate() {
  if (!gNotificationDelegate) gNotificationDelegate = [[SysTrayNotificationDelegate alloc] init];
  return gNotificationDelegate;
}

// The authorization request's completion handler must be a block, which this
// old-style code (and GCC) cannot write: a global block laid out as the block
// ABI lays one out, whose body ignores the answer (a refused notification is
// simply not shown). The block runtime's class is looked up where it exists.
struct MLCBlockDescriptor {
  unsigned long reserved;
  unsigned long size;
};
struct MLCGlobalBlock {
  void* isa;
  int flags;
  int reserved;
  void (*invoke)(MLCGlobalBlock*, BOOL, id);
  const MLCBlockDescriptor* descriptor;
};
void IgnoreAuthorizationAnswer(MLCGlobalBlock*, BOOL, id) {}
const MLCBlockDescriptor g_ignoreAnswerDescriptor = {0, sizeof(MLCGlobalBlock)};
const int kBlockIsGlobal = 1 << 28;
MLCGlobalBlock g_ignoreAnswer = {nullptr, kBlockIsGlobal, 0, &IgnoreAuthorizationAnswer, &g_ignoreAnswerDescriptor};

// Main thread. Nil where there is no block runtime.
id IgnoreAnswerBlock() {
  if (!g_ignoreAnswer.isa) g_ignoreAnswer.isa = dlsym(RTLD_DEFAULT, "_NSConcreteGlobalBlock");
  return g_ignoreAnswer.isa ? (id)(void*)&g_ignoreAnswer : nil;
}

// Main thread. UserNotifications where it exists; asks for permission once.
bool DeliverThroughUserNotifications() {
  Class<MLCUserNotificationCenter> centerClass = NSClassFromString(@"UNUserNotificationCenter");
  Class contentClass = NSClassFromString(@"UNMutableNotificationContent");
  Class<MLCNotificationRequest> requestClass = NSClassFromString(@"UNNotificationRequest");
  id answer = IgnoreAnswerBlock();
  if (!centerClass || !contentClass || !requestClass || !answer) return false;
  id<MLCUserNotificationCenter> center = [centerClass currentNotificationCenter];
  if (!center) return false;
  static bool authorizationRequested = false;
  if (!authorizationRequested) {
    authorizationRequested = true;
    const NSUInteger alert = 1 << 2;  // UNAuthorizationOptionAlert
    [center requestAuthorizationWithOptions:alert completionHandler:answer];
  }
  id<MLCNotificationContent> content = [[contentClass alloc] init];
  [content setTitle:MLCToNSString(kNotificationTitle)];
  [content setBody:MLCToNSString(LCInstallerText::Get("notification.text"))];
  [content setSound:nil];
  id request = [requestClass requestWithIdentifier:@"com.ostrel.clipvane.installer.background"
                                           content:content
                                           trigger:nil];
  [center addNotificationRequest:request withCompletionHandler:nil];
  [(id)content release];
  return true;
}

// Main thread. Looked up at run time: not every AppKit has user notifications.
void DeliverBackgroundNotification() {
  if (DeliverThroughUserNotifications()) return;
  Class centerClass = NSClassFromString(@"NSUserNotificationCenter");
  Class notificationClass = NSClassFromString(@"NSUserNotification");
  if (!centerClass || !notificationClass) {
    const bool shown = LCShowDesktopNotification(kNotificationTitle, LCInstallerText::Get("notification.text").c_str());
    if (!g_notificationReported.exchange(true)) {
      KWLOG(shown ? "UI: the background notice went to the desktop's notification service"
                  : "UI: no notification service; the background notice is skipped");
    }
    return;
  }
  id notification = [[notificationClass alloc] init];
  [notification setTitle:MLCToNSString(kNotificationTitle)];
  [notification setInformativeText:MLCToNSString(LCInstallerText::Get("notification.text"))];
  [notification performSelector:@selector(setSoundName:) withObject:nil];
  id center = [centerClass performSelector:@selector(defaultUserNotificationCenter)];
  [center setDelegate:NotificationDelegate()];
  [center performSelector:@selector(deliverNotification:) withObject:notification];
  [notification release];
}

}  // namespace

LCInstallerSystemTrayHelper::LCInstallerSystemTrayHelper(LCInstallerUICore& core) : m_uiCore(core) {
  MKWAutoReleasePoolWrapper pool;
  [NSApplication sharedApplication];
  m_trayIconView = [[TrayIconImageView alloc] initWithCallBacks:&LCInstallerSystemTrayHelper::SystemTrayHelperCallback
                                               SystemTrayHelper:this];
  g_liveHelpers.insert(this);
}

LCInstallerSystemTrayHelper::~LCInstallerSystemTrayHelper() {
  MKWAutoReleasePoolWrapper pool;
  g_liveHelpers.erase(this);
  delete static_cast<ILCDesktopTray*>(m_desktopTray);
  [static_cast<NSImage*>(m_trayIconImage) release];
  if (m_statusItem) {
    NSStatusItem* item = static_cast<NSStatusItem*>(m_statusItem);
    if (m_savedStatusItemView) SetStatusItemView(item, static_cast<NSView*>(m_savedStatusItemView));
    [item release];
  }
  [static_cast<TrayIconImageView*>(m_trayIconView) release];
}

bool LCInstallerSystemTrayHelper::Initialize(LCInstallerWindowRef window, const LCInstallerUICoreInitParams&) {
  m_window = window;
  if (!window) return false;
  MKWAutoReleasePoolWrapper pool;
  NSBundle* bundle = [NSBundle bundleForClass:[TrayIconImageView class]];
  NSURL* url = [bundle URLForResource:@"tessel" withExtension:@"icns"];
  NSImage* icon = nil;
  if (url && [url isFileURL]) icon = [[NSImage alloc] initWithContentsOfURL:url];
  if (!icon) icon = LoadIconByPath();
  if (icon) {
    m_iconPixels = IconPixels(icon);
    [icon setSize:NSMakeSize(20, 20)];
    m_trayIconImage = icon;
  } else {
    KWLOG("UI: menu-bar icon \"tessel.icns\" not found or not readable");
  }
  g_statusItemsWork = StatusBarGivesItems();
  if (!g_statusItemsWork && !m_desktopTray) {
    m_desktopTray = ILCDesktopTray::Create(LCInstallerText::Get("tray.tooltip").c_str(), &DesktopTrayClicked, this);
  }
  return true;
}

namespace {

// Main thread. Where the icon can go now.
MenuBarPath ChooseMenuBarPath(const void* trayIconImage, void* desktopTray) {
  if (trayIconImage && g_statusItemsWork) return kMenuBarStatusItem;
  ILCDesktopTray* tray = static_cast<ILCDesktopTray*>(desktopTray);
  if (trayIconImage && tray && tray->IsAvailable()) return kMenuBarDesktopTray;
  return kMenuBarNone;
}

}  // namespace

bool LCInstallerSystemTrayHelper::ShowTrayIcon() {
  bool changed = false;
  if (!SwitchMode(true, changed)) return false;
  if (!changed) return true;
  RunTowardsTray(this, [this] {
    MenuBarPath path = ChooseMenuBarPath(m_trayIconImage, m_desktopTray);
    m_shownProgress = GetIconProgress();
    if (path == kMenuBarStatusItem) {
      NSStatusBar* bar = [NSStatusBar systemStatusBar];
      NSStatusItem* item = bar ? [[bar statusItemWithLength:32] retain] : nil;
      m_statusItem = item;
      if (item) {
        TrayIconImageView* view = static_cast<TrayIconImageView*>(m_trayIconView);
        [view setStatusBarItem:item];
        NSImage* image = m_shownProgress < 0
                             ? static_cast<NSImage*>(m_trayIconImage)
                             : MLCImageFromBGRA(LCDrawIconProgress(m_iconPixels, m_shownProgress), NSMakeSize(20, 20));
        if ([item respondsToSelector:@selector(button)]) {
          NSButton* button = [item performSelector:@selector(button)];
          [button setImage:image];
          [button setToolTip:MLCToNSString(LCInstallerText::Get("tray.tooltip"))];
          [button setTarget:view];
          [button setAction:@selector(statusItemButtonPressed:)];
          [button sendActionOn:kLeftOrRightMouseDownMask];
        } else {
          [view setImage:image];
          m_savedStatusItemView = [item performSelector:@selector(view)];
          SetStatusItemView(item, view);
          [view setToolTip:MLCToNSString(LCInstallerText::Get("tray.tooltip"))];
        }
      } else {
        if (!g_statusItemReported.exchange(true)) {
          KWLOG("UI: no status bar item available; the menu-bar icon is skipped");
        }
        path = kMenuBarNone;
      }
    } else if (path == kMenuBarDesktopTray) {
      if (!static_cast<ILCDesktopTray*>(m_desktopTray)->Show(LCDrawIconProgress(m_iconPixels, m_shownProgress))) {
        path = kMenuBarNone;
      }
    }
    LogMenuBarPath(path);
    if (path == kMenuBarNone) {
      // Never blind: with nowhere to show an icon the window stays up.
      bool back = false;
      SwitchMode(false, back);
      m_shownProgress = -1;
      if (m_desktopTray) static_cast<ILCDesktopTray*>(m_desktopTray)->Hide();
      [static_cast<NSWindow*>(m_window) orderFront:nil];
      return;
    }
    DeliverBackgroundNotification();
    MLCSetActivationPolicy(2);  // prohibited: no Dock icon
  });
  return true;
}

bool LCInstallerSystemTrayHelper::HideTrayIcon() {
  bool changed = false;
  if (!SwitchMode(false, changed)) return false;
  if (!changed) return true;
  RunForHelper(this, [this] {
    MLCSetActivationPolicy(0);  // regular
    m_shownProgress = -1;
    if (m_desktopTray) static_cast<ILCDesktopTray*>(m_desktopTray)->Hide();
    NSStatusItem* item = static_cast<NSStatusItem*>(m_statusItem);
    if (!item) return;
    NSStatusBar* bar = [NSStatusBar systemStatusBar];
    if (!bar) return;
    [bar removeStatusItem:item];
    if (m_savedStatusItemView) SetStatusItemView(item, static_cast<NSView*>(m_savedStatusItemView));
    m_savedStatusItemView = nullptr;
    [item release];
    m_statusItem = nullptr;
  });
  return true;
}

bool LCInstallerSystemTrayHelper::HideApplication() {
  NSWindow* window = static_cast<NSWindow*>(m_window);
  if (!window) return false;
  RunTowardsTray(this, [=] {
    if (ChooseMenuBarPath(m_trayIconImage, m_desktopTray) != kMenuBarNone) [window orderOut:nil];
  });
  return true;
}

bool LCInstallerSystemTrayHelper::ShowApplication() {
  NSWindow* window = static_cast<NSWindow*>(m_window);
  if (!window) return false;
  RunForHelper(this, [window] {
    [window makeKeyAndOrderFront:nil];
    [[NSApplication sharedApplication] activateIgnoringOtherApps:YES];
  });
  return true;
}

void LCInstallerSystemTrayHelper::BringOutOfTray() {
  NSWindow* window = static_cast<NSWindow*>(m_window);
  if (!m_isInTray || !window) return;
  ++g_restoreCount;
  // The regular activation policy first: an application activated while it is
  // still prohibited stays behind the others.
  HideTrayIcon();
  ShowApplication();
  RunForHelper(this, [window] { [window makeKeyAndOrderFront:nil]; });
}

void LCInstallerSystemTrayHelper::OnUITick() {
  ILCDesktopTray* tray = static_cast<ILCDesktopTray*>(m_desktopTray);
  if (tray) tray->ServeEvents();
  const int progress = GetIconProgress();
  if (progress == m_shownProgress || !m_isInTray) return;
  // Only once the icon is up: until then ShowTrayIcon's own work is queued.
  if (m_statusItem) {
    MKWAutoReleasePoolWrapper pool;
    m_shownProgress = progress;
    NSImage* image = progress < 0 ? static_cast<NSImage*>(m_trayIconImage)
                                  : MLCImageFromBGRA(LCDrawIconProgress(m_iconPixels, progress), NSMakeSize(20, 20));
    NSStatusItem* item = static_cast<NSStatusItem*>(m_statusItem);
    if ([item respondsToSelector:@selector(button)]) {
      [[item performSelector:@selector(button)] setImage:image];
    } else {
      [static_cast<TrayIconImageView*>(m_trayIconView) setImage:image];
    }
  } else if (tray && g_loggedPath == kMenuBarDesktopTray) {
    m_shownProgress = progress;
    tray->Show(LCDrawIconProgress(m_iconPixels, progress));
  }
}
