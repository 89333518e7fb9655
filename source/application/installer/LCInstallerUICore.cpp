#include "LCInstallerUICore.h"

#include <signal.h>
#include <string.h>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <thread>

#include "KWFile.h"
#include "KWFileUtil.h"
#include "KWInternet.h"
#include "KWLogger.h"
#include "LCInstallerAnalytics.h"
#include "LCInstallerEndpoints.h"
#include "LCInstallerService.h"
#include "LCInstallerText.h"

LCInstallerWindowRef LCInstallerUICore::m_window = nullptr;

namespace {

const int kStallMilliseconds = 5000;

KWString Decimal(long long value) { return KWString().AppendNumber(value); }

void Ping(const char* name, const KWString& value = KWString()) {
  LCInstallerAnalytics::PingTalkToOstrelServer(name, value);
}

LCUIObject MakeObject(LCInstallerButtonId id, int left, int top, int right, int bottom,
                      LCInstallerControlRole role = kLCInstallerRoleSlideDot, const char* label = "") {
  LCUIObject object;
  object.m_id = id;
  object.m_role = role;
  object.m_label = label;
  object.m_rect.left = left;
  object.m_rect.top = top;
  object.m_rect.right = right;
  object.m_rect.bottom = bottom;
  return object;
}

// The message of an error code in the person's language; in English too
// when asked for, for the log.
KWString GetErrorMessage(LCInstallerErrorEnum code, bool& retryAllowed, KWString* english = nullptr) {
  retryAllowed = false;
  bool withSuffix = true;
  const char* key = "error.other";
  switch (code) {
    case 8:
      key = "error.8";
      break;
    case 9:
      key = "error.9";
      break;
    case 11:
      key = "error.11";
      break;
    case 19:
      key = "error.19";
      retryAllowed = true;
      break;
    case 23:
      key = "error.23";
      break;
    case 30:
    case 31:
      key = "error.30";
      retryAllowed = true;
      break;
    case 32:
      key = "error.32";
      retryAllowed = true;
      break;
    case 9000:
      key = "error.9000";
      retryAllowed = true;
      break;
    case 9001:
      key = "error.9001";
      retryAllowed = true;
      break;
    case 9002:
      key = "error.9002";
      retryAllowed = true;
      break;
    case 9003:
    case 9004:
      key = "error.9003";
      break;
    case 9005:
      key = "error.9005";
      withSuffix = false;
      break;
    case 9007:
      key = "error.9007";
      retryAllowed = true;
      break;
    case 9008:
      key = "error.9008";
      retryAllowed = true;
      break;
    case 9009:
      key = "error.9009";
      retryAllowed = true;
      break;
    default:
      break;
  }
  const LCInstallerText::Values values = {{"email", kCLVSupportEmail}, {"code", Decimal(code)}};
  // The same message from either set of texts.
  auto compose = [&](KWString (*text)(const std::string&)) {
    KWString message = text(key);
    if (withSuffix) message += KWString("\n\n") + LCInstallerText::Fill(text("error.suffix"), values);
    return message;
  };
  if (english) *english = compose(&LCInstallerText::English);
  return compose(&LCInstallerText::Get);
}

// Counts a box as up for as long as it is asked.
class OpenBoxScope {
 public:
  explicit OpenBoxScope(std::atomic<int>& openBoxes) : m_openBoxes(openBoxes) { ++m_openBoxes; }
  ~OpenBoxScope() { --m_openBoxes; }
  OpenBoxScope(const OpenBoxScope&) = delete;
  OpenBoxScope& operator=(const OpenBoxScope&) = delete;

 private:
  std::atomic<int>& m_openBoxes;
};

// "name.png" as drawn for the scale: "name@2x.png" at 2.
std::string ScaledName(const char* name, int scale) {
  std::string scaled(name);
  if (scale == 1) return scaled;
  const size_t dot = scaled.rfind('.');
  return scaled.insert(dot == std::string::npos ? scaled.size() : dot, "@" + std::to_string(scale) + "x");
}

// The file's bytes; empty when it cannot be read.
std::vector<unsigned char> ReadBytes(const KWPath& path) {
  std::vector<unsigned char> bytes;
  std::ifstream file(path.c_str(), std::ios::binary);
  if (!file) return bytes;
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return bytes;
}

// Finds each picture in the asset folder: a picture with words in the
// locale's sub-folder (English's where the locale lacks it), every other in
// the folder itself. Only the running locale's pictures are read.
class AssetReader {
 public:
  AssetReader(const KWPath& folder, const std::string& locale, int scale, LCEncodedImage::Decoder decoder)
      : m_folder(folder), m_locale(locale), m_scale(scale), m_decoder(decoder) {}
  LCBGRAImage Shared(const char* name) const { return Encoded(name, false).Decode(); }
  LCBGRAImage Localized(const char* name) const { return Encoded(name, true).Decode(); }
  // The picture's bytes, decoded when they are drawn.
  LCEncodedImage Encoded(const char* name, bool localized) const {
    const std::string scaled = ScaledName(name, m_scale);
    KWPath folder = m_folder;
    if (localized) {
      folder = m_folder.AppendNew("en");  // missing: logged as such
      const KWPath own = m_folder.AppendNew(m_locale.c_str());
      if (KWFile(own.AppendNew(scaled.c_str(), KWPath::kKWPathKindFile)).Exists()) folder = own;
    }
    return LCEncodedImage(ReadBytes(folder.AppendNew(scaled.c_str(), KWPath::kKWPathKindFile)), m_decoder, scaled);
  }
  // A full-frame layer of words, kept as its ink and where the ink starts.
  LCPlacedImage Placed(const char* name) const {
    LCPlacedImage placed;
    placed.m_image = Localized(name).CroppedToInk(placed.m_left, placed.m_top);
    return placed;
  }
  // A shared picture of one colour as that colour (1 x 1), judged from its
  // 1x file, which costs a quarter of the 2x one to decode; else empty.
  LCBGRAImage OneColour(const char* name) const {
    const AssetReader unscaled(m_folder, m_locale, 1, m_decoder);
    return unscaled.Shared(name).OneColour();
  }
  void Sequence(std::vector<LCBGRAImage>& images, std::initializer_list<const char*> names, bool localized) const {
    images.clear();
    for (const char* name : names) images.push_back(localized ? Localized(name) : Shared(name));
  }

 private:
  KWPath m_folder;
  std::string m_locale;
  int m_scale;
  LCEncodedImage::Decoder m_decoder;
};

}  // namespace

void LCInstallerUICore::LoadAssetsFromFolder(const KWPath& folder, LCEncodedImage::Decoder decoder) {
  const AssetReader read(folder, LCInstallerText::GetLocale(), m_renderScale, decoder);
  LCUIAssets assets;
  for (const char* name : {"installer_ui_1.jpg", "installer_ui_2.jpg", "installer_ui_3.jpg", "installer_ui_4.jpg",
                           "installer_ui_5.jpg", "installer_ui_6.jpg", "installer_ui_7.jpg", "installer_ui_8.jpg"}) {
    assets.m_slides.push_back(read.Encoded(name, false));
  }
  for (const char* name :
       {"installer_text_1.png", "installer_text_2.png", "installer_text_3.png", "installer_text_4.png",
        "installer_text_5.png", "installer_text_6.png", "installer_text_7.png", "installer_text_8.png"}) {
    assets.m_slideTexts.push_back(read.Placed(name));
  }
  assets.m_dotHover = read.Shared("dot_hover.png");
  assets.m_installNowHover = read.Localized("installnow_button_hover.png");
  assets.m_installNowClick = read.Localized("installnow_button_click.png");
  assets.m_eulaHover = read.Placed("eula_hover.png");
  assets.m_progressBar = read.Shared("progress_bar.png");
  read.Sequence(assets.m_progressAnimation,
                {"progress_bar_01.png", "progress_bar_02.png", "progress_bar_03.png", "progress_bar_04.png",
                 "progress_bar_05.png", "progress_bar_06.png", "progress_bar_07.png", "progress_bar_08.png",
                 "progress_bar_09.png", "progress_bar_10.png"},
                false);
  assets.m_progressBarBackground = read.Shared("progress_bar_bg.png");
  // One cell, 12 points wide, for each character the locale's figures have.
  assets.m_figureGlyphs =
      LCGlyphStrip(read.Localized("progress_glyphs.png"), LCDownloadEstimate::GetCharacters(), 12 * m_renderScale);
  assets.m_connectionCheck = read.Localized("connection_check.png");
  assets.m_disabledMask = read.Encoded("disabled_mask.png", false);
  assets.m_disabledVeil = read.OneColour("disabled_mask.png");
  read.Sequence(assets.m_stateTexts,
                {"text_pre_download.png", "text_downloading.png", "text_extracting.png", "text_installing.png",
                 "text_launching.png", "text_waiting_network.png", "text_waiting_offline.png"},
                true);
  read.Sequence(assets.m_closeImages, {"close_n.png", "close_o.png", "close_s.png"}, false);
  read.Sequence(assets.m_appCloseImages, {"app_close_mac_n.png", "app_close_mac_o.png", "app_close_mac_s.png"}, false);
  read.Sequence(assets.m_appMinimizeImages, {"app_min_mac_n.png", "app_min_mac_o.png", "app_min_mac_s.png"}, false);
  SetAssets(std::move(assets));
  m_caCertPath = folder.AppendNew("cacert.pem", KWPath::kKWPathKindFile);
}

void LCInstallerUICore::SetAssets(LCUIAssets assets) {
  m_assets = std::move(assets);
  m_lastFrameValid = false;
  // Each locale's licence line is laid out for its words, so the link's place
  // and width come from its hover picture's ink (in pixels of the scale, the
  // rectangle in points, right and bottom inclusive). Without the picture the
  // link keeps the place it had.
  const LCPlacedImage& link = m_assets.m_eulaHover;
  if (link.m_image.IsEmpty()) return;
  const unsigned int scale = static_cast<unsigned int>(m_renderScale);
  LCRect& rect = m_eulaButton.m_rect;
  rect.left = static_cast<int>(link.m_left / scale);
  rect.top = static_cast<int>(link.m_top / scale);
  rect.right = static_cast<int>((link.m_left + link.m_image.GetWidth() + scale - 1) / scale) - 1;
  rect.bottom = static_cast<int>((link.m_top + link.m_image.GetHeight() + scale - 1) / scale) - 1;
}

LCInstallerUICore::LCInstallerUICore(const LCInstallerUICoreInitParams& params)
    : m_initParams(params),
      m_installNowButton(
          MakeObject(kLCInstallerButtonInstallNow, 365, 393, 503, 428, kLCInstallerRoleButton, "welcome.install_now")),
      m_eulaButton(
          MakeObject(kLCInstallerButtonEULA, 434, 454, 552, 465, kLCInstallerRoleLink, "welcome.licence_link")),
      m_closeButton(
          MakeObject(kLCInstallerButtonClose, 596, 57, 610, 71, kLCInstallerRoleButton, "control.cancel_installation")),
      m_appButton(MakeObject(kLCInstallerButtonApp, 11, 5, 25, 19, kLCInstallerRoleButton, "control.close")),
      m_trayHelper(*this) {
  std::fill(std::begin(m_progressReported), std::end(m_progressReported), false);
  for (int k = 0; k < 7; ++k) {
    m_slideDots.push_back(MakeObject(kLCInstallerButtonSlide1 + k, 393 + 14 * k, 546, 399 + 14 * k, 552));
  }
  ILCInstallerUIClock& clock = ILCInstallerUIClock::GetInstance();
  m_animationStartTime.Store(clock.MicrosecondClockNow());
  m_slideStartTime.Store(clock.SecondClockNow());

  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    KWLOG("Curl Setup Failed");
  } else {
    IKWInternetFileDownloader::SetIsCurlGlobalInitialized(true);
  }
  KWCreateTimerService();
}

LCInstallerUICore::~LCInstallerUICore() {
  KWFileUtil::DeleteAllTempFilesCreated();
  KWDestroyTimerService();
  curl_global_cleanup();
}

void LCInstallerUICore::OnInstallBegin() {
  KWLOG("CLV installer version %d.%d.%d.%d", kLCInstallerVersionMajor, kLCInstallerVersionMinor,
        kLCInstallerVersionRevision, kLCInstallerVersionBuild);
  MinimizeUI();
  Ping("InstallBegin");
  std::vector<LCUIObject*> objects{&m_appButton, &m_closeButton};
  for (LCUIObject& dot : m_slideDots) objects.push_back(&dot);
  SetActiveObjects(objects);
  m_slideIndex = 1;
  m_slideStartTime.Store(ILCInstallerUIClock::GetInstance().SecondClockNow());
  SetState(kLCInstallerStateInstallBegun);
}

void LCInstallerUICore::OnHandshakeBegin() {
  KWLOG("Handshaking ... ");
  Ping("HandshakeBegin");
  SetState(kLCInstallerStateHandshaking);
}

void LCInstallerUICore::OnHandshakeDone(int attempts) {
  KWLOG("Handshake complete.");
  Ping("HandshakeDone", Decimal(attempts));
  SetState(kLCInstallerStateHandshakeDone);
}

void LCInstallerUICore::OnDownloadBegin() {
  KWLOG("Downloading ... ");
  Ping("DownloadBegin");
  {
    std::lock_guard<std::mutex> lock(m_progressMutex);
    m_progress = 0;
    m_lastProgressChangeTime.Store(ILCInstallerUIClock::GetInstance().SecondClockNow());
    std::fill(std::begin(m_progressReported), std::end(m_progressReported), false);
    m_lastProbeTime = boost::posix_time::ptime();
    m_lastProbeConnected = true;
    m_bytesDone = 0;
    m_estimate.Start(ILCInstallerUIClock::GetInstance().MicrosecondClockNow());
  }
  SetState(kLCInstallerStateDownloading);
}

bool LCInstallerUICore::OnDownloadProgress(int percent) {
  bool firstReport = false;
  bool stalled = false;
  {
    std::lock_guard<std::mutex> lock(m_progressMutex);
    if (percent >= 0 && percent < 100 && !m_progressReported[percent]) {
      m_progressReported[percent] = true;
      firstReport = true;
    }
    const boost::posix_time::ptime now = ILCInstallerUIClock::GetInstance().SecondClockNow();
    if (percent != m_progress) {
      m_lastProgressChangeTime.Store(now);
      m_progress = percent;
      m_estimate.Update(percent, ILCInstallerUIClock::GetInstance().MicrosecondClockNow());
    } else {
      stalled = LCMillisecondsBetween(m_lastProgressChangeTime.Load(), now) > kStallMilliseconds;
    }
    // Every part thread reports several times a second; while the download
    // stalls, one probe per stall window answers for all of them, so a slow
    // link does not turn into a stream of connection tests.
    if (stalled) {
      if (m_lastProbeTime.is_not_a_date_time() || LCMillisecondsBetween(m_lastProbeTime, now) > kStallMilliseconds) {
        m_lastProbeTime = now;
      } else {
        stalled = false;
        if (!m_lastProbeConnected) return false;
      }
    }
  }
  if (firstReport) {
    KWLOG("Download progress: %d", percent);
    if (percent % 5 == 0) Ping("DownloadProgress", Decimal(percent));
  }
  // The probe may take seconds, so it runs outside the lock; the progress is
  // unchanged on this path, so nothing is left to update afterwards.
  if (stalled) {
    const bool connected = IKWInternetConnectionDetector::GetInstance()->IsConnectedToInternet();
    m_lastProbeConnected = connected;
    if (!connected) return false;
  }
  return true;
}

void LCInstallerUICore::OnDownloadSize(uint64_t totalBytes) {
  std::lock_guard<std::mutex> lock(m_progressMutex);
  m_estimate.SetTotalBytes(totalBytes);
}

void LCInstallerUICore::OnDownloadBytes(uint64_t bytesDone) {
  std::lock_guard<std::mutex> lock(m_progressMutex);
  ILCInstallerUIClock& clock = ILCInstallerUIClock::GetInstance();
  // Bytes that arrive are progress, however long the percentage stays put
  // on a slow link; and the network evidently works.
  if (bytesDone > m_bytesDone) {
    m_bytesDone = bytesDone;
    m_lastProgressChangeTime.Store(clock.SecondClockNow());
    m_lastProbeConnected = true;
  }
  m_estimate.UpdateBytes(bytesDone, clock.MicrosecondClockNow());
}

std::string LCInstallerUICore::GetProgressText() {
  std::lock_guard<std::mutex> lock(m_progressMutex);
  return m_estimate.GetText(ILCInstallerUIClock::GetInstance().MicrosecondClockNow());
}

LCInstallerUICore::NetworkWait LCInstallerUICore::GetNetworkWait() {
  if (m_state != kLCInstallerStateDownloading) return kNetworkFlowing;
  std::lock_guard<std::mutex> lock(m_progressMutex);
  if (!m_estimate.IsWaiting(ILCInstallerUIClock::GetInstance().MicrosecondClockNow())) return kNetworkFlowing;
  return m_lastProbeConnected ? kNetworkWaiting : kNetworkDown;
}

void LCInstallerUICore::OnDownloadDone(int attempts) {
  KWLOG("Download complete. ");
  Ping("DownloadDone", Decimal(attempts));
  m_progress = 100;
  SetState(kLCInstallerStateDownloadDone);
}

void LCInstallerUICore::OnExtractBegin() {
  KWLOG("Extracting ... ");
  Ping("ExtractBegin");
  SetState(kLCInstallerStateExtracting);
}

void LCInstallerUICore::OnExtractDone() {
  KWLOG("Extract complete.");
  Ping("ExtractDone");
  SetState(kLCInstallerStateExtractDone);
}

void LCInstallerUICore::OnSetupBegin() {
  KWLOG("Installing ... ");
  Ping("SetupBegin");
  SetState(kLCInstallerStateSettingUp);
}

void LCInstallerUICore::OnSetupDone() {
  KWLOG("Install complete.");
  Ping("SetupDone");
  SetState(kLCInstallerStateSetupDone);
}

void LCInstallerUICore::OnAppLaunchBegin() {
  KWLOG("Launching CLV ...");
  Ping("AppLaunchBegin");
  SetState(kLCInstallerStateLaunching);
}

void LCInstallerUICore::OnAppLaunchDone() {
  KWLOG("Launching CLV complete.");
  Ping("AppLaunchDone");
  SetState(kLCInstallerStateLaunchDone);
}

void LCInstallerUICore::OnError(LCInstallerErrorEnum code) {
  MaximizeUI();
  Ping("LastError", Decimal(code));
  bool retryAllowed = false;
  KWString english;
  const KWString message = GetErrorMessage(code, retryAllowed, &english);
  // Our own text, whose line breaks the log keeps (formatted values have
  // theirs escaped); in English, as every log line.
  if (gKWLogger.m_isEnabled) gKWLogger.LogString(english.c_str(), english.size());
  // A user who has already chosen to quit is not asked to retry; the main
  // thread may be waiting for the service and cannot answer a box now.
  if (m_exitRequested) {
    m_retryRequested = false;
    HideUI();
    return;
  }
  LCInstallerMBResult answer = kLCInstallerMBResultOK;
  {
    OpenBoxScope box(m_openBoxes);
    answer = ShowMessageBox(LCInstallerText::Get("installer.name"), message,
                            retryAllowed ? kLCInstallerMBTypeRetryCancel : kLCInstallerMBTypeOK,
                            kLCInstallerMBDefaultButton1);
  }
  m_retryRequested = answer == kLCInstallerMBResultRetry;
  if (!m_retryRequested) HideUI();
}

void LCInstallerUICore::OnInstallDone() {
  KWLock lock(m_installCompleteMutex);
  KWLOG("Install complete.");
  if (m_exitRequested) {
    Ping("InstallExit");
  } else if (m_state == kLCInstallerStateLaunchDone) {
    Ping("InstallSuccess");
  } else {
    Ping("InstallError");
  }
  BreakEventProcessingLoop();
  SetState(kLCInstallerStateInstallDone);
  const KWTimerID timerID = m_uiTimerID.exchange(0);
  if (timerID != 0) KWKillUITimer(timerID);
  m_installCompleteCondition.notify_all();
}

void LCInstallerUICore::OnExit() {
  m_trayHelper.BringOutOfTray();
  HideUI();
  m_exitRequested = true;
  OnPlatformExit();
}

bool LCInstallerUICore::IsValidInstallAttempt() {
  return m_retryRequested && m_state < kLCInstallerStateLaunchDone && !m_exitRequested;
}

KWString LCInstallerUICore::GetProcessPath() { return KWFileUtil::GetCurrentExecutablePath().GetPathAsKWString(); }

bool LCInstallerUICore::OnAppClose() {
  LCInstallerMBResult answer = kLCInstallerMBResultNo;
  {
    OpenBoxScope box(m_openBoxes);
    answer = ShowMessageBox(LCInstallerText::Get("installer.name"), LCInstallerText::Get("quit.question"),
                            kLCInstallerMBTypeYesNo, kLCInstallerMBDefaultButton2);
  }
  if (answer != kLCInstallerMBResultYes) return false;
  QuitInstallation();
  // The person cancelled the installation: nothing of it stays behind.
  LCInstallerService::DiscardDownload();
  return true;
}

void LCInstallerUICore::QuitInstallation() {
  // Not under the lock: OnExit brings the window out of the tray with X
  // round trips, and a connection that dies in one of them runs the
  // lost-display quit on this very thread. The state is read under the lock,
  // so a service that ends meanwhile is not missed.
  static_cast<ILCInstallerUIInterface*>(this)->OnExit();
  KWLock lock(m_installCompleteMutex);
  while (m_state != kLCInstallerStateInstallDone && m_state != kLCInstallerStateWaitingForInstall) {
    m_installCompleteCondition.wait(lock);
  }
}

void LCInstallerUICore::OnWindowCloseRequest() {
  if (IsUIDisabled() || m_exitRequested) return;
  KWLOG("UI: the window system asks the window to close");
  if (m_state == kLCInstallerStateWaitingForInstall) {
    QuitInstallation();
    PostAppQuitMessage();
  } else if (OnAppClose()) {
    PostAppQuitMessage();
  }
}

bool LCInstallerUICore::QuitWithoutDisplay(unsigned int serviceDeadlineMilliseconds) {
  m_exitRequested = true;
  // Real time, not the UI's clock: this bounds how long the process lingers.
  // No lock is taken: this may run on a thread that holds one, inside
  // whatever call found the display gone. The state is atomic, and the
  // service sets "done" only after it has detached the image.
  const std::chrono::steady_clock::time_point deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(serviceDeadlineMilliseconds);
  bool serviceEnded = true;
  while (m_state != kLCInstallerStateInstallDone && m_state != kLCInstallerStateWaitingForInstall) {
    if (std::chrono::steady_clock::now() >= deadline) {
      serviceEnded = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!serviceEnded) KWLOG("UI: the service did not end within %u ms", serviceDeadlineMilliseconds);
  LCInstallerAnalytics::StopThread();
  KWFileUtil::DeleteAllTempFilesCreated();
  return serviceEnded;
}

std::atomic<int> LCInstallerUICore::ms_quitSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch a lock-free atomic");

std::function<bool()> LCInstallerUICore::ms_comeForwardCheck;

void LCInstallerUICore::OnQuitSignal(int signalNumber) { ms_quitSignal = signalNumber; }

int LCInstallerUICore::TakeQuitSignal() { return ms_quitSignal.exchange(0); }

void LCInstallerUICore::SetComeForwardCheck(std::function<bool()> check) { ms_comeForwardCheck = std::move(check); }

void LCInstallerUICore::InstallQuitSignalHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

// Nothing of AppKit may run in a signal handler: the quit happens here, on
// the main thread, as the Quit menu's Yes would do it.
void LCInstallerUICore::QuitWatchTick(KWTimerID, void* data) {
  LCInstallerUICore* core = static_cast<LCInstallerUICore*>(data);
  if (ms_comeForwardCheck && ms_comeForwardCheck() && !core->m_exitRequested) {
    KWLOG("UI: another installer was started; this one comes forward");
    if (core->m_trayHelper.IsInTray()) {
      core->MaximizeUI();
    } else {
      core->m_trayHelper.ShowApplication();
    }
  }
  const int signalNumber = ms_quitSignal.exchange(0);
  if (signalNumber == 0) return;
  KWLOG("UI: signal %d, quitting as the user would", signalNumber);
  if (!core->m_exitRequested) core->QuitInstallation();
}

void LCInstallerUICore::MinimizeUI() {
  m_trayHelper.HideApplication();
  m_trayHelper.ShowTrayIcon();
}

void LCInstallerUICore::MaximizeUI() {
  Ping("AppMaximizeClick");
  m_slideStartTime.Store(ILCInstallerUIClock::GetInstance().SecondClockNow());
  m_trayHelper.BringOutOfTray();
}

void LCInstallerUICore::StartUIAndWelcomeScreen(KWTimerCallback tick) {
  const uint32_t kUITimerPeriodMS = 67;
  KWTimerID timerID = 0;
  KWCreateUITimer(kUITimerPeriodMS, &timerID, tick, this);
  m_uiTimerID = timerID;
  // A quit signal may wait half a second; each look wakes the idle process.
  const uint32_t kQuitWatchPeriodMS = 500;
  KWTimerID quitWatchID = 0;
  KWCreateUITimer(kQuitWatchPeriodMS, &quitWatchID, QuitWatchTick, this);
  EnterWelcomeScreen();
}

void LCInstallerUICore::EnterWelcomeScreen() {
  SetState(kLCInstallerStateWaitingForInstall);
  SetActiveObjects({&m_appButton, &m_installNowButton, &m_eulaButton});
}

void LCInstallerUICore::SetActiveObjects(const std::vector<LCUIObject*>& objects) {
  std::lock_guard<std::mutex> lock(m_activeObjectsMutex);
  m_activeObjects = objects;
}

std::vector<LCUIObject*> LCInstallerUICore::GetActiveObjectsSnapshot() const {
  std::lock_guard<std::mutex> lock(m_activeObjectsMutex);
  return m_activeObjects;
}

std::vector<LCInstallerButtonId> LCInstallerUICore::GetActiveObjectIds() const {
  std::vector<LCInstallerButtonId> ids;
  for (const LCUIObject* object : GetActiveObjectsSnapshot()) ids.push_back(object->m_id);
  return ids;
}

LCUIObject& LCInstallerUICore::ObjectById(LCInstallerButtonId id) {
  switch (id) {
    case kLCInstallerButtonInstallNow:
      return m_installNowButton;
    case kLCInstallerButtonEULA:
      return m_eulaButton;
    case kLCInstallerButtonClose:
      return m_closeButton;
    case kLCInstallerButtonApp:
      return m_appButton;
    default:
      break;
  }
  const int dot = std::min(std::max(id - kLCInstallerButtonSlide1, 0), static_cast<int>(m_slideDots.size()) - 1);
  return m_slideDots[dot];
}

const LCUIObject& LCInstallerUICore::GetObject(LCInstallerButtonId id) const {
  return const_cast<LCInstallerUICore*>(this)->ObjectById(id);
}
