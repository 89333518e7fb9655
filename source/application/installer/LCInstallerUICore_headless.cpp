// The windowing layer of the UI core for builds without a window system.
#include <mutex>

#include "KWFileUtil.h"
#include "KWLogger.h"
#include "KWMainRunLoop.h"
#include "LCBGRAImageFile.h"
#include "LCInstallerUICore.h"
#include "LCInstallerUIHeadless.h"
#include "LCInstallerUIHeadlessRecorder.h"

namespace {

const unsigned int kFrameWidth = 868;
const unsigned int kFrameHeight = 592;
const uint32_t kUITimerPeriodMS = 67;

// Stands in for the window object; only its address is used.
int g_headlessWindow = 0;

LCBGRAImage LoadBGRAImageFromResource(const KWPath& folder, const char* fileName) {
  LCBGRAImage image;
  const KWPath path = folder.AppendNew(fileName, KWPath::kKWPathKindFile);
  if (!LCLoadBGRAImageFromFile(path.GetPathAsKWString(), image)) {
    KWLOG("Error - unsupported samplesPerPixel:%d for file:%s", 0, fileName);
  }
  return image;
}

void LoadSequence(const KWPath& folder, std::vector<LCBGRAImage>& images, std::initializer_list<const char*> names) {
  images.clear();
  for (const char* name : names) images.push_back(LoadBGRAImageFromResource(folder, name));
}

void UITimerCallBack(KWTimerID, void* data) {
  LCInstallerUICore* core = static_cast<LCInstallerUICore*>(data);
  core->RenderUI();
  LCHeadlessRecorder::Get().PresentFrame(core->GetRenderedUI());
}

}  // namespace

int LCInstallerUICore::CreateUI() {
  KWLOG("Loading Assets");
  LoadUIAssets();
  KWLOG("Creating Window");
  m_window = &g_headlessWindow;
  LCHeadlessRecorder::Get().ShowWindow(kFrameWidth, kFrameHeight);
  KWTimerID timerID = 0;
  KWCreateUITimer(kUITimerPeriodMS, &timerID, UITimerCallBack, this);
  m_uiTimerID = timerID;
  EnterWelcomeScreen();
  m_trayHelper.Initialize(m_window, m_initParams);
  return 0;
}

void LCInstallerUICore::LoadUIAssets() {
  KWPath folder = LCHeadlessRecorder::Get().GetAssetFolder();
  if (folder.IsEmpty()) {
    folder = KWFileUtil::GetCurrentExecutablePath().AppendNew("Contents").Append("Resources").Append("installer");
  }
  KWLOG("Assets folder root: %s", folder.c_str());
  LCUIAssets assets;
  LoadSequence(folder, assets.m_slides,
               {"installer_ui_1.jpg", "installer_ui_2.jpg", "installer_ui_3.jpg", "installer_ui_4.jpg",
                "installer_ui_5.jpg", "installer_ui_6.jpg", "installer_ui_7.jpg", "installer_ui_8.jpg"});
  assets.m_dotHover = LoadBGRAImageFromResource(folder, "dot_hover.png");
  assets.m_installNowHover = LoadBGRAImageFromResource(folder, "installnow_button_hover.png");
  assets.m_installNowClick = LoadBGRAImageFromResource(folder, "installnow_button_click.png");
  assets.m_eulaHover = LoadBGRAImageFromResource(folder, "eula_hover.png");
  assets.m_progressBar = LoadBGRAImageFromResource(folder, "progress_bar.png");
  LoadSequence(folder, assets.m_progressAnimation,
               {"progress_bar_01.png", "progress_bar_02.png", "progress_bar_03.png", "progress_bar_04.png",
                "progress_bar_05.png", "progress_bar_06.png", "progress_bar_07.png", "progress_bar_08.png",
                "progress_bar_09.png", "progress_bar_10.png"});
  assets.m_progressBarBackground = LoadBGRAImageFromResource(folder, "progress_bar_bg.png");
  assets.m_disabledMask = LoadBGRAImageFromResource(folder, "disabled_mask.png");
  LoadSequence(folder, assets.m_stateTexts,
               {"text_pre_download.png", "text_downloading.png", "text_extracting.png", "text_installing.png",
                "text_launching.png"});
  LoadSequence(folder, assets.m_closeImages, {"close_n.png", "close_o.png", "close_s.png"});
  LoadSequence(folder, assets.m_appCloseImages, {"app_close_mac_n.png", "app_close_mac_o.png", "app_close_mac_s.png"});
  LoadSequence(folder, assets.m_appMinimizeImages, {"app_min_mac_n.png", "app_min_mac_o.png", "app_min_mac_s.png"});
  m_assets = assets;
  m_caCertPath = folder.AppendNew("cacert.pem", KWPath::kKWPathKindFile);
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
