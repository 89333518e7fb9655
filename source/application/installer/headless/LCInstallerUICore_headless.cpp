// The windowing layer of the UI core for builds without a window system.
#include <mutex>
#include <vector>

#include "KWFileUtil.h"
#include "KWLogger.h"
#include "KWMainRunLoop.h"
#include "LCBGRAImageFile.h"
#include "LCHeadlessRecorder.h"
#include "LCInstallerUICore.h"
#include "LCInstallerUIHeadless.h"

namespace {

const unsigned int kFrameWidth = 868;
const unsigned int kFrameHeight = 592;

// Stands in for the window object; only its address is used.
int g_headlessWindow = 0;

LCBGRAImage DecodeBGRAImage(const std::vector<unsigned char>& bytes, const char* fileName) {
  LCBGRAImage image;
  if (!LCDecodeBGRAImage(bytes.data(), bytes.size(), image)) {
    KWLOG("Error - unsupported samplesPerPixel:%d for file:%s", 0, fileName);
  }
  return image;
}

void UITimerCallBack(KWTimerID, void* data) {
  LCInstallerUICore* core = static_cast<LCInstallerUICore*>(data);
  core->GetTrayHelper().OnUITick();
  if (core->RenderUI()) LCHeadlessRecorder::Get().PresentFrame(core->GetRenderedUI());
}

}  // namespace

void LCInstallerUICore::PrepareWindowSystem() {}

int LCInstallerUICore::CreateUI() {
  KWLOG("Loading Assets");
  LoadUIAssets();
  KWLOG("Creating Window");
  m_window = &g_headlessWindow;
  LCHeadlessRecorder::Get().ShowWindow(kFrameWidth, kFrameHeight);
  StartUIAndWelcomeScreen(UITimerCallBack);
  m_trayHelper.Initialize(m_window, m_initParams);
  return 0;
}

void LCInstallerUICore::LoadUIAssets() {
  KWPath folder = LCHeadlessRecorder::Get().GetAssetFolder();
  if (folder.IsEmpty()) {
    folder = KWFileUtil::GetCurrentExecutablePath().AppendNew("Contents").Append("Resources").Append("installer");
  }
  KWLOG("Assets folder root: %s", folder.c_str());
  LoadAssetsFromFolder(folder, DecodeBGRAImage);
}

int LCInstallerUICore::RunEventLoop(const std::atomic<bool>&) {
  KWMainRunLoop::Get().Run();
  return 0;
}

void LCInstallerUICore::BreakEventProcessingLoop() {
  LCHeadlessRecorder::Get().Record("BreakEventProcessingLoop");
  KWMainRunLoop::Get().Stop();
}

void LCInstallerUICore::OnPlatformExit() {
  LCHeadlessRecorder::Get().Record("OnPlatformExit");
  BreakEventProcessingLoop();
}

void LCInstallerUICore::PostAppQuitMessage() {
  LCHeadlessRecorder::Get().Record("PostAppQuitMessage");
  BreakEventProcessingLoop();
}

void LCInstallerUICore::HideUI() { LCHeadlessRecorder::Get().Record("HideUI"); }

LCInstallerMBResult LCInstallerUICore::ShowMessageBox(const KWString& title, const KWString& message,
                                                      LCInstallerMBType type,
                                                      LCInstallerMBDefaultButton defaultButton) {
  LCHeadlessMessageBox box;
  box.m_title = title;
  box.m_message = message;
  box.m_type = type;
  box.m_defaultButton = defaultButton;
  return LCHeadlessRecorder::Get().AskMessageBox(box);
}

void LCInstallerUICore::PlatformDoMouseCapture() { LCHeadlessRecorder::Get().Record("DoMouseCapture"); }

void LCInstallerUICore::PlatformReleaseMouseCapture() { LCHeadlessRecorder::Get().Record("ReleaseMouseCapture"); }

LCInstallerWindowRef LCInstallerUICore::PlatformGetMouseCapture() { return m_window; }

void LCInstallerUICore::PlatformMoveWindowBy(int dx, int dy) { LCHeadlessRecorder::Get().MoveWindowBy(dx, dy); }

void LCInstallerUICore::PlatformOpenURL(const KWString& url) {
  LCHeadlessRecorder::Get().Record(std::string("OpenURL ") + url.GetUTF8String());
}
