// The desktop's system-tray icon, for AppKits whose status bar gives no item.
// A neutral seam: each system has its own file (an X11 tray on Linux, none on
// macOS, where the status item is the menu-bar icon).
//
//   std::unique_ptr<ILCDesktopTray> tray(ILCDesktopTray::Create("Tip", OnClick, helper));
//   if (tray && tray->IsAvailable()) tray->Show(icon);
//   ...                                   // every UI tick: tray->ServeEvents();
//
// Main thread only: its connection to the window system is served from the
// main run loop and never touched from another thread.
#pragma once

#include "LCBGRAImage.h"

class ILCDesktopTray {
 public:
  typedef void (*ClickCallback)(void* data);

  virtual ~ILCDesktopTray() {}
  // Null where the system has no desktop tray or its display cannot be opened.
  static ILCDesktopTray* Create(const char* tooltip, ClickCallback onClick, void* data);

  // A tray host is running now.
  virtual bool IsAvailable() = 0;
  // Docks the icon into the tray; false when no tray host took it. Showing
  // again replaces the picture.
  virtual bool Show(const LCBGRAImage& icon) = 0;
  // Takes the icon out of the tray; nothing when it is not shown.
  virtual void Hide() = 0;
  // Handles what the window system reported since the last call: redraws,
  // size changes, clicks (which call onClick), the tooltip, a tray host that
  // went away or came back.
  virtual void ServeEvents() = 0;
};
