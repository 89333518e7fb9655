// The AppKit half of the menu-bar helper: the status item with its icon (or,
// where the status bar gives no item, the desktop's system tray), the user
// notification and the activation policy.
//
// The mode (window or menu bar) changes at once on the calling thread, which
// may be the service thread; the AppKit work that goes with it is carried to
// the main thread without waiting, in call order. The status item and the
// views are touched on the main thread only.
#import <AppKit/AppKit.h>

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
#include "MLCUserNotification.h"

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
- (NSMenu*)trayMenu;
- (void)menuShowInstaller:(id)sender;
- (void)menuQuit:(id)sender;
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
  [NSMenu popUpContextMenu:[self trayMenu] withEvent:event forView:self];
}

- (void)executeAction:(int)action {
  if (mClickAction && mSystemTrayHelper) mClickAction(*mSystemTrayHelper, action);
}

- (void)statusItemButtonPressed:(id)sender {
  (void)sender;
  const NSUInteger kRightMouseDown = 3;  // NSEventTypeRightMouseDown
  if (static_cast<NSUInteger>([[[NSApplication sharedApplication] currentEvent] type]) == kRightMouseDown &&
      mStatusBarItem) {
    [mStatusBarItem performSelector:@selector(popUpStatusItemMenu:) withObject:[self trayMenu]];
    return;
  }
  [self executeAction:kSystemTrayActionClick];
}

// The same two items as the desktop tray's menu, in the person's language.
- (NSMenu*)trayMenu {
  NSMenu* menu = [[[NSMenu alloc] initWithTitle:@""] autorelease];
  NSMenuItem* show = [[[NSMenuItem alloc] initWithTitle:MLCToNSString(LCInstallerText::Get("tray.menu.show"))
                                                 action:@selector(menuShowInstaller:)
                                          keyEquivalent:@""] autorelease];
  [show setTarget:self];
  [menu addItem:show];
  NSMenuItem* quit = [[[NSMenuItem alloc] initWithTitle:MLCToNSString(LCInstallerText::Get("tray.menu.quit"))
                                                 action:@selector(menuQuit:)
                                          keyEquivalent:@""] autorelease];
  [quit setTarget:self];
  [menu addItem:quit];
  return menu;
}

- (void)menuShowInstaller:(id)sender {
  (void)sender;
  [self executeAction:kSystemTrayActionClick];
}

- (void)menuQuit:(id)sender {
  (void)sender;
  [self executeAction:kSystemTrayActionQuit];
}
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

// A left click and the menu's first item show the window, its second asks
// the quit question.
void DesktopTrayEvent(void* data, int event) {
  const LCInstallerSystemTrayHelperAction action = event == kDesktopTrayHostLost ? kSystemTrayActionTrayLost
                                                   : event == 1                  ? kSystemTrayActionQuit
                                                                                 : kSystemTrayActionClick;
  LCInstallerSystemTrayHelper::SystemTrayHelperCallback(*static_cast<LCInstallerSystemTrayHelper*>(data), action);
}

// The largest of the icon's pictures as pixels.
LCBGRAImage NSImagePixels(NSImage* icon) {
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

// Main thread. Looked up at run time: not every AppKit has user notifications.
void DeliverBackgroundNotification() {
  if (MLCPostUserNotification(@"com.ostrel.clipvane.installer.background",
                              MLCToNSString(LCInstallerText::Get("installer.name")),
                              MLCToNSString(LCInstallerText::Get(MLCBackgroundNoticeKey()))))
    return;
  Class centerClass = NSClassFromString(@"NSUserNotificationCenter");
  Class notificationClass = NSClassFromString(@"NSUserNotification");
  if (!centerClass || !notificationClass) {
    const bool shown = LCShowDesktopNotification(LCInstallerText::Get("installer.name").c_str(),
                                                 LCInstallerText::Get(MLCBackgroundNoticeKey()).c_str());
    if (!g_notificationReported.exchange(true)) {
      KWLOG(shown ? "UI: the background notice went to the desktop's notification service"
                  : "UI: no notification service; the background notice is skipped");
    }
    return;
  }
  id notification = [[notificationClass alloc] init];
  [notification setTitle:MLCToNSString(LCInstallerText::Get("installer.name"))];
  [notification setInformativeText:MLCToNSString(LCInstallerText::Get(MLCBackgroundNoticeKey()))];
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

// A template (black, read by its alpha) at 1x and 2x: the menu bar tints it
// for its light or dark look and shows the sharp one for the screen. Where
// the template could not be read, the icon in colour.
void* LCInstallerSystemTrayHelper::MenuBarImage(int picture) const {
  if (m_templatePixels[0].IsEmpty() || m_templatePixels[1].IsEmpty()) {
    return picture < 0 ? m_trayIconImage : MLCImageFromBGRA(IconPixels(picture), NSMakeSize(20, 20));
  }
  const NSSize size = NSMakeSize(18, 18);
  NSImage* image = [[[NSImage alloc] initWithSize:size] autorelease];
  for (int scale = 0; scale < 2; ++scale) {
    NSImageRep* rep = [[MLCImageFromBGRA(TemplatePixels(picture, scale), size) representations] lastObject];
    if (!rep) continue;
    [rep setSize:size];
    [image addRepresentation:rep];
  }
  // Not in GNUstep's AppKit, whose status bar gives no items anyway.
  SEL selector = @selector(setTemplate:);
  if ([image respondsToSelector:selector]) {
    IMP method = [image methodForSelector:selector];
    reinterpret_cast<void (*)(id, SEL, BOOL)>(reinterpret_cast<void (*)()>(method))(image, selector, YES);
  }
  return image;
}

bool LCInstallerSystemTrayHelper::Initialize(LCInstallerWindowRef window, const LCInstallerUICoreInitParams&) {
  m_window = window;
  if (!window) return false;
  MKWAutoReleasePoolWrapper pool;
  NSBundle* bundle = [NSBundle bundleForClass:[TrayIconImageView class]];
  NSURL* url = [bundle URLForResource:@"tessel" withExtension:@"icns"];
  NSImage* icon = nil;
  if (url && [url isFileURL]) icon = [[NSImage alloc] initWithContentsOfURL:url];
  if (!icon) icon = [MLCLoadResourceImage("tessel.icns") retain];
  if (icon) {
    m_iconPixels = NSImagePixels(icon);
    [icon setSize:NSMakeSize(20, 20)];
    m_trayIconImage = icon;
  } else {
    KWLOG("UI: menu-bar icon \"tessel.icns\" not found or not readable");
  }
  g_statusItemsWork = StatusBarGivesItems();
  if (g_statusItemsWork) {
    const KWPath folder =
        KWFileUtil::GetCurrentExecutablePath().AppendNew("Contents").Append("Resources").Append("installer");
    const char* const names[2] = {"menubar_template.png", "menubar_template@2x.png"};
    for (int scale = 0; scale < 2; ++scale) {
      const KWString path = folder.AppendNew(names[scale], KWPath::kKWPathKindFile).GetPathAsKWString();
      m_templatePixels[scale] = MLCBitmapToBGRA([NSBitmapImageRep imageRepWithContentsOfFile:MLCToNSString(path)]);
    }
    if (m_templatePixels[0].IsEmpty() || m_templatePixels[1].IsEmpty()) {
      KWLOG("UI: menu-bar template \"menubar_template.png\" not readable; the icon is shown in colour");
    }
  }
  if (!g_statusItemsWork && !m_desktopTray) {
    m_desktopTray = ILCDesktopTray::Create({LCInstallerText::Get("tray.menu.show").GetUTF8String(),
                                            LCInstallerText::Get("tray.menu.quit").GetUTF8String()},
                                           &DesktopTrayEvent, this);
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
    m_shownPicture = GetIconPicture();
    m_shownTooltip = GetTooltip();
    NSString* tooltip = MLCToNSString(m_shownTooltip);
    if (path == kMenuBarStatusItem) {
      NSStatusBar* bar = [NSStatusBar systemStatusBar];
      NSStatusItem* item = bar ? [[bar statusItemWithLength:32] retain] : nil;
      m_statusItem = item;
      if (item) {
        TrayIconImageView* view = static_cast<TrayIconImageView*>(m_trayIconView);
        [view setStatusBarItem:item];
        NSImage* image = static_cast<NSImage*>(MenuBarImage(m_shownPicture));
        if ([item respondsToSelector:@selector(button)]) {
          NSButton* button = [item performSelector:@selector(button)];
          [button setImage:image];
          [button setToolTip:tooltip];
          [button setTarget:view];
          [button setAction:@selector(statusItemButtonPressed:)];
          [button sendActionOn:kLeftOrRightMouseDownMask];
        } else {
          [view setImage:image];
          m_savedStatusItemView = [item performSelector:@selector(view)];
          SetStatusItemView(item, view);
          [view setToolTip:tooltip];
        }
      } else {
        if (!g_statusItemReported.exchange(true)) {
          KWLOG("UI: no status bar item available; the menu-bar icon is skipped");
        }
        path = kMenuBarNone;
      }
    } else if (path == kMenuBarDesktopTray) {
      ILCDesktopTray* tray = static_cast<ILCDesktopTray*>(m_desktopTray);
      tray->SetTooltip(m_shownTooltip);
      if (!tray->Show(IconPixels(m_shownPicture))) path = kMenuBarNone;
    }
    LogMenuBarPath(path);
    if (path == kMenuBarNone) {
      // Never blind: with nowhere to show an icon the window stays up.
      bool back = false;
      SwitchMode(false, back);
      m_shownPicture = -1;
      if (m_desktopTray) static_cast<ILCDesktopTray*>(m_desktopTray)->Hide();
      [static_cast<NSWindow*>(m_window) orderFront:nil];
      return;
    }
    DeliverBackgroundNotification();
    MLCSetActivationPolicy(kMLCActivationAccessory);  // no Dock icon
  });
  return true;
}

bool LCInstallerSystemTrayHelper::HideTrayIcon() {
  bool changed = false;
  if (!SwitchMode(false, changed)) return false;
  if (!changed) return true;
  RunForHelper(this, [this] {
    MLCSetActivationPolicy(kMLCActivationRegular);
    m_shownPicture = -1;
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
    MLCBringToFront();
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
  // Only once the icon is up: until then ShowTrayIcon's own work is queued.
  const bool desktopTrayShown = tray && g_loggedPath == kMenuBarDesktopTray;
  if (!m_isInTray || (!m_statusItem && !desktopTrayShown)) return;
  MKWAutoReleasePoolWrapper pool;
  const std::string tooltip = GetTooltip();
  if (tooltip != m_shownTooltip) {
    m_shownTooltip = tooltip;
    if (m_statusItem) {
      NSStatusItem* item = static_cast<NSStatusItem*>(m_statusItem);
      if ([item respondsToSelector:@selector(button)]) {
        [[item performSelector:@selector(button)] setToolTip:MLCToNSString(tooltip)];
      } else {
        [static_cast<TrayIconImageView*>(m_trayIconView) setToolTip:MLCToNSString(tooltip)];
      }
    } else {
      tray->SetTooltip(tooltip);
    }
  }
  const int picture = GetIconPicture();
  if (picture == m_shownPicture) return;
  m_shownPicture = picture;
  if (m_statusItem) {
    NSImage* image = static_cast<NSImage*>(MenuBarImage(picture));
    NSStatusItem* item = static_cast<NSStatusItem*>(m_statusItem);
    if ([item respondsToSelector:@selector(button)]) {
      [[item performSelector:@selector(button)] setImage:image];
    } else {
      [static_cast<TrayIconImageView*>(m_trayIconView) setImage:image];
    }
  } else {
    tray->Show(IconPixels(picture));
  }
}
