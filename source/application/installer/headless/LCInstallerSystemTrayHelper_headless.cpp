// The menu-bar helper for builds without a window system: it keeps the
// window/menu-bar mode and records what the AppKit layer would do.
#include "LCHeadlessRecorder.h"
#include "LCInstallerSystemTrayHelper.h"

LCInstallerSystemTrayHelper::LCInstallerSystemTrayHelper(LCInstallerUICore& core) : m_uiCore(core) {}

LCInstallerSystemTrayHelper::~LCInstallerSystemTrayHelper() {}

bool LCInstallerSystemTrayHelper::Initialize(LCInstallerWindowRef window, const LCInstallerUICoreInitParams&) {
  m_window = window;
  return m_window != nullptr;
}

bool LCInstallerSystemTrayHelper::ShowTrayIcon() {
  bool changed = false;
  if (!SwitchMode(true, changed)) return false;
  if (changed) {
    LCHeadlessRecorder::Get().Record("ShowTrayIcon");
    LCHeadlessRecorder::Get().Record("Notification");
  }
  return true;
}

bool LCInstallerSystemTrayHelper::HideTrayIcon() {
  bool changed = false;
  if (!SwitchMode(false, changed)) return false;
  if (changed) LCHeadlessRecorder::Get().Record("HideTrayIcon");
  return true;
}

bool LCInstallerSystemTrayHelper::HideApplication() {
  if (!m_window) return false;
  LCHeadlessRecorder::Get().Record("HideApplication");
  LCHeadlessRecorder::Get().SetWindowVisible(false);
  return true;
}

bool LCInstallerSystemTrayHelper::ShowApplication() {
  if (!m_window) return false;
  LCHeadlessRecorder::Get().Record("ShowApplication");
  LCHeadlessRecorder::Get().SetWindowVisible(true);
  return true;
}

void LCInstallerSystemTrayHelper::BringOutOfTray() {
  if (!m_isInTray || !m_window) return;
  ShowApplication();
  HideTrayIcon();
}

void LCInstallerSystemTrayHelper::OnUITick() {}
