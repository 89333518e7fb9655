#include "LCInstallerSystemTrayHelper.h"

#include <algorithm>

#include "KWException.h"
#include "KWLogger.h"
#include "KWTimer.h"
#include "LCInstallerText.h"
#include "LCInstallerUIClock.h"
#include "LCInstallerUICore.h"
#include "LCTrayIconArt.h"

namespace {

const int kBusyPicture = 1000;
// The moving bar takes a step this often.
const int kBusyStepMs = 100;

void SystemTrayClickTimerCallBack(KWTimerID timerId, void* data) {
  KWKillUITimer(timerId);  // one shot
  static_cast<LCInstallerSystemTrayHelper*>(data)->OnTrayClick();
}

}  // namespace

void LCInstallerSystemTrayHelper::SystemTrayHelperCallback(LCInstallerSystemTrayHelper& helper,
                                                           const LCInstallerSystemTrayHelperAction& action) {
  helper.m_lastAction = action;
  KWTimerID timerId = 0;
  KWCreateUITimer(10, &timerId, SystemTrayClickTimerCallBack, &helper);
}

bool LCInstallerSystemTrayHelper::SwitchMode(bool toTray, bool& changed) {
  changed = false;
  if (!m_window) return false;
  bool expected = !toTray;
  changed = m_isInTray.compare_exchange_strong(expected, toTray);
  return true;
}

void LCInstallerSystemTrayHelper::OnTrayClick() {
  switch (m_lastAction) {
    case kSystemTrayActionClick:
      m_uiCore.MaximizeUI();
      break;
    case kSystemTrayActionQuit:
      m_uiCore.OnAppClose();
      break;
    case kSystemTrayActionTrayLost:
      // Never blind: with no tray to come back from, the window comes back.
      KWLOG("UI: no system tray any more; the window is shown again");
      BringOutOfTray();
      break;
    default:
      KWAssertFailed("Unhandled SystemTrayHelperCallback", __FILE__, __LINE__);
      break;
  }
}

int LCInstallerSystemTrayHelper::GetIconProgress() const {
  if (!m_isInTray || m_uiCore.GetState() != kLCInstallerStateDownloading) return -1;
  return std::max(0, std::min(100, m_uiCore.GetProgress()));
}

int LCInstallerSystemTrayHelper::GetIconBusyPhase() const {
  const LCInstallerStateEnum state = m_uiCore.GetState();
  if (!m_isInTray || state == kLCInstallerStateDownloading || state == kLCInstallerStateDownloadDone ||
      state >= kLCInstallerStateLaunchDone) {
    return -1;
  }
  const boost::posix_time::ptime now = ILCInstallerUIClock::GetInstance().MicrosecondClockNow();
  const int64_t ms = LCMillisecondsBetween(boost::posix_time::ptime(now.date()), now);
  return static_cast<int>(ms / kBusyStepMs % kLCIconBusySteps);
}

int LCInstallerSystemTrayHelper::GetIconPicture() const {
  const int progress = GetIconProgress();
  if (progress >= 0) return progress;
  const int phase = GetIconBusyPhase();
  return phase >= 0 ? kBusyPicture + phase : -1;
}

LCBGRAImage LCInstallerSystemTrayHelper::IconPixels(int picture) const {
  if (picture >= kBusyPicture) return LCDrawIconBusy(m_iconPixels, picture - kBusyPicture);
  return LCDrawIconProgress(m_iconPixels, picture);
}

LCBGRAImage LCInstallerSystemTrayHelper::TemplatePixels(int picture, int scale) const {
  const LCBGRAImage& glyph = m_templatePixels[scale == 0 ? 0 : 1];
  if (picture >= kBusyPicture) return LCDrawIconBusy(glyph, picture - kBusyPicture, kLCIconBarTemplate);
  return LCDrawIconProgress(glyph, picture, kLCIconBarTemplate);
}

std::string LCInstallerSystemTrayHelper::GetTooltip() const {
  std::string stage;
  switch (m_uiCore.GetState()) {
    case kLCInstallerStateDownloading: {
      const LCInstallerUICore::NetworkWait wait = m_uiCore.GetNetworkWait();
      const char* key = wait == LCInstallerUICore::kNetworkDown      ? "state.waiting_offline"
                        : wait == LCInstallerUICore::kNetworkWaiting ? "state.waiting_network"
                                                                     : "state.downloading";
      stage = LCInstallerText::Get(key).GetUTF8String() + " " + m_uiCore.GetProgressText();
      break;
    }
    case kLCInstallerStateDownloadDone:
    case kLCInstallerStateExtracting:
    case kLCInstallerStateExtractDone:
      stage = LCInstallerText::Get("state.extracting").GetUTF8String();
      break;
    case kLCInstallerStateSettingUp:
    case kLCInstallerStateSetupDone:
      stage = LCInstallerText::Get("state.installing").GetUTF8String();
      break;
    case kLCInstallerStateLaunching:
    case kLCInstallerStateLaunchDone:
    case kLCInstallerStateInstallDone:
      stage = LCInstallerText::Get("state.launching").GetUTF8String();
      break;
    default:
      stage = LCInstallerText::Get("state.pre_download").GetUTF8String();
      break;
  }
  return LCInstallerText::Get("installer.name").GetUTF8String() + "\n" + stage;
}
