#include "LCInstallerSystemTrayHelper.h"

#include <algorithm>

#include "KWException.h"
#include "KWTimer.h"
#include "LCInstallerUICore.h"

namespace {

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
  if (m_lastAction == kSystemTrayActionClick) {
    m_uiCore.MaximizeUI();
  } else {
    KWAssertFailed("Unhandled SystemTrayHelperCallback", __FILE__, __LINE__);
  }
}

int LCInstallerSystemTrayHelper::GetIconProgress() const {
  if (!m_isInTray || m_uiCore.GetState() != kLCInstallerStateDownloading) return -1;
  return std::max(0, std::min(100, m_uiCore.GetProgress()));
}
