// The windowing layer for builds without a window system (tests, tools).
// It runs the event loop on KWMainRunLoop, records every request the core
// makes of the window system, and answers message boxes from a script.
//
//   LCInstallerUIHeadless::Reset();
//   LCInstallerUIHeadless::SetMessageBoxScript(
//       [](const LCHeadlessMessageBox&) { return kLCInstallerMBResultYes; });
//   ... drive the core ...
//   LCInstallerUIHeadless::CountCalls("BreakEventProcessingLoop");
#pragma once

#include <string>
#include <vector>

#include "KWGeometry.h"
#include "KWString.h"
#include "LCBGRAImage.h"
#include "LCHeadlessMessageBox.h"

class LCInstallerUIHeadless {
 public:
  // Forgets everything recorded, the script and the asset folder.
  static void Reset();
  // Where LoadUIAssets reads the pictures; empty means the bundle's
  // "Contents/Resources/installer" folder.
  static void SetAssetFolder(const KWString& folder);
  // Without a script a box gets the answer that changes nothing: OK, Cancel or No.
  static void SetMessageBoxScript(LCHeadlessMessageBoxScript script);

  static std::vector<LCHeadlessMessageBox> GetMessageBoxes();
  // Every request in order: "BreakEventProcessingLoop", "HideUI", "OnPlatformExit",
  // "PostAppQuitMessage", "DoMouseCapture", "ReleaseMouseCapture", "OpenURL <url>",
  // and the menu-bar helper's "HideApplication", "ShowApplication", "ShowTrayIcon",
  // "HideTrayIcon", "Notification".
  static std::vector<std::string> GetCalls();
  static int CountCalls(const std::string& call);
  // Top-left corner of the window on the screen; moves with drags.
  static KWINT32Point GetWindowPosition();
  static bool IsWindowVisible();
  // The last frame the UI timer presented, and how many it has presented.
  static LCBGRAImage GetPresentedFrame();
  static int GetPresentedFrameCount();
};
