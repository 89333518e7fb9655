// Shared state of the headless windowing layer (the core's members and the
// menu-bar helper's). Any thread may call it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "KWGeometry.h"
#include "KWPath.h"
#include "LCBGRAImage.h"
#include "LCHeadlessMessageBox.h"

class LCHeadlessRecorder {
 public:
  static LCHeadlessRecorder& Get();

  void Reset();
  void Record(const std::string& call);
  std::vector<std::string> Calls();

  void SetAssetFolder(const KWString& folder);
  KWPath GetAssetFolder();

  void SetMessageBoxScript(LCHeadlessMessageBoxScript script);
  // Records the box and answers it; the script runs without the lock held.
  LCInstallerMBResult AskMessageBox(const LCHeadlessMessageBox& box);
  std::vector<LCHeadlessMessageBox> MessageBoxes();

  void ShowWindow(unsigned int width, unsigned int height);
  void SetWindowVisible(bool visible);
  bool IsWindowVisible();
  void MoveWindowBy(int dx, int dy);
  KWINT32Point WindowPosition();

  void PresentFrame(const LCBGRAImage& frame);
  LCBGRAImage PresentedFrame();
  int PresentedFrameCount();

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_calls;
  std::vector<LCHeadlessMessageBox> m_boxes;
  LCHeadlessMessageBoxScript m_script;
  KWString m_assetFolder;
  KWINT32Point m_windowPosition;
  bool m_windowVisible = false;
  LCBGRAImage m_frame;
  int m_frameCount = 0;
};
