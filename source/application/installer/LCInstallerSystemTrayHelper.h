// LCInstallerSystemTrayHelper: the menu-bar item that stands in for the
// window while the installation runs in the background. A click on the item
// brings the window back through the core's MaximizeUI; its menu ("Show
// Installer", "Quit") does that or asks the quit question; its tooltip says
// the stage and the download's figures, and its icon shows the progress or,
// while the installer waits (the handshake, a retry's pause), a moving bar.
//
// One class, several files: the click path and the icon's progress are
// shared (LCInstallerSystemTrayHelper.cpp); the members that talk to the
// system (the constructor, destructor, Initialize, Show/HideTrayIcon,
// Show/HideApplication, BringOutOfTray and OnUITick) are defined once per
// windowing layer: MLCInstallerSystemTrayHelper.mm in the app,
// headless/LCInstallerSystemTrayHelper_headless.cpp for tests and tools.
//
// Where the system gives neither a status item nor a tray icon, the window is
// never hidden: it stays up and shows the progress.
#pragma once

#include <atomic>

#include "LCInstallerUITypes.h"

class LCInstallerUICore;

#include <string>

typedef int LCInstallerSystemTrayHelperAction;
enum {
  kSystemTrayActionClick = 0,     // a click, or the menu's "Show Installer"
  kSystemTrayActionQuit = 1,      // the menu's "Quit": the quit question
  kSystemTrayActionTrayLost = 2,  // the tray host went away with the icon in it
};

class LCInstallerSystemTrayHelper {
 public:
  explicit LCInstallerSystemTrayHelper(LCInstallerUICore& core);
  virtual ~LCInstallerSystemTrayHelper();
  LCInstallerSystemTrayHelper(const LCInstallerSystemTrayHelper&) = delete;
  LCInstallerSystemTrayHelper& operator=(const LCInstallerSystemTrayHelper&) = delete;

  // False without a window. The start-up parameters are not used.
  bool Initialize(LCInstallerWindowRef window, const LCInstallerUICoreInitParams& params);
  // Enters menu-bar mode; does nothing when already there.
  bool ShowTrayIcon();
  // Leaves menu-bar mode; does nothing in window mode.
  bool HideTrayIcon();
  bool HideApplication();
  bool ShowApplication();
  // Only in menu-bar mode with a window: shows the window and removes the item.
  void BringOutOfTray();
  bool IsInTray() const { return m_isInTray; }

  // Called by the item's view on a press. Only records the action; the
  // window comes back from a one-shot 10 ms UI timer on the main loop.
  static void SystemTrayHelperCallback(LCInstallerSystemTrayHelper& helper,
                                       const LCInstallerSystemTrayHelperAction& action);
  void OnTrayClick();

  // Every tick of the UI timer (main thread): serves the desktop tray's
  // events and redraws the icon when the percentage it shows changed.
  void OnUITick();
  // The percentage drawn over the icon: the download's while the window is in
  // the menu bar during the download, -1 (the plain icon) otherwise.
  int GetIconProgress() const;
  // The step of the moving bar drawn over the icon while in the menu bar and
  // waiting (before the download, and while unpacking and installing), -1
  // otherwise.
  int GetIconBusyPhase() const;
  // "Ostrel Clipvane Installer" and, on a second line, the stage with the
  // download's figures: "Downloading Ostrel Clipvane… 47 %  ·  12.2 of 26.0 MB".
  std::string GetTooltip() const;

 private:
  // What the icon shows: -1 the plain icon, 0..100 the progress, or
  // kBusyPicture plus the moving bar's step.
  int GetIconPicture() const;
  LCBGRAImage IconPixels(int picture) const;
  // The same picture over the menu-bar template at 1x (scale 0) or 2x (1).
  LCBGRAImage TemplatePixels(int picture, int scale) const;
  // The status item's image (macOS) for the picture; autoreleased.
  void* MenuBarImage(int picture) const;
  // Moves between window and menu-bar mode for ShowTrayIcon/HideTrayIcon of
  // either windowing layer. False without a window; changed is set only for
  // the caller that moved the mode, which then does the platform work.
  bool SwitchMode(bool toTray, bool& changed);

  LCInstallerUICore& m_uiCore;
  // Set by Initialize on the main thread before the service thread starts.
  LCInstallerWindowRef m_window = nullptr;  // not owned
  // Read by the renderer on the main thread, changed from the service thread too.
  std::atomic<bool> m_isInTray{false};
  void* m_savedStatusItemView = nullptr;  // the windowing layer's objects
  void* m_trayIconView = nullptr;
  void* m_statusItem = nullptr;
  void* m_trayIconImage = nullptr;
  LCBGRAImage m_iconPixels;         // the icon, for drawing the progress over it
  LCBGRAImage m_templatePixels[2];  // macOS's status item: the template glyph at 1x and 2x
  void* m_desktopTray = nullptr;    // the desktop's tray where there is no status item; main thread
  int m_shownPicture = -1;          // GetIconPicture's value the icon shows; main thread
  std::string m_shownTooltip;       // main thread
  std::atomic<LCInstallerSystemTrayHelperAction> m_lastAction{kSystemTrayActionClick};
};
