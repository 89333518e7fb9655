// The desktop's system-tray icon, for AppKits whose status bar gives no item.
// A neutral seam: each system has its own file (an X11 tray on Linux, none on
// macOS, where the status item is the menu-bar icon).
//
//   std::unique_ptr<ILCDesktopTray> tray(ILCDesktopTray::Create({"Show", "Quit"}, OnEvent, helper));
//   if (tray && tray->IsAvailable()) tray->Show(icon);
//   tray->SetTooltip("Installer\nDownloading… 47 %");
//   ...                                   // every UI tick: tray->ServeEvents();
//
// Main thread only: its connection to the window system is served from the
// main run loop and never touched from another thread.
#pragma once

#include <string>
#include <vector>

#include "LCBGRAImage.h"

// What the tray reports besides a menu item's index.
enum { kDesktopTrayClick = -1, kDesktopTrayHostLost = -2 };

class ILCDesktopTray {
 public:
  // event: kDesktopTrayClick for a left click on the icon, the index of the
  // chosen menu item, or kDesktopTrayHostLost when the tray host went away
  // with the icon docked.
  typedef void (*EventCallback)(void* data, int event);

  virtual ~ILCDesktopTray() {}
  // Null where the system has no desktop tray or its display cannot be opened.
  // A right click on the icon opens a menu of menuItems.
  static ILCDesktopTray* Create(const std::vector<std::string>& menuItems, EventCallback onEvent, void* data);

  // A tray host is running now.
  virtual bool IsAvailable() = 0;
  // Docks the icon into the tray; false when no tray host took it. Showing
  // again replaces the picture.
  virtual bool Show(const LCBGRAImage& icon) = 0;
  // Takes the icon out of the tray; nothing when it is not shown.
  virtual void Hide() = 0;
  // The tooltip's text (UTF-8, lines split at '\n'); also the icon window's
  // name, its lines joined, for trays and tools that read names.
  virtual void SetTooltip(const std::string& text) = 0;
  // Handles what the window system reported since the last call: redraws,
  // size changes, clicks, the menu, the tooltip, a tray host that went away
  // or came back.
  virtual void ServeEvents() = 0;
};
