// The menu-bar helper for builds without a window system: it keeps the
// window/menu-bar mode and records what the AppKit layer would do.
#include <mutex>

#include "LCInstallerSystemTrayHelper.h"
#include "LCInstallerUIHeadlessRecorder.h"

namespace {
// Mode changes come from the main and the service thread.
std::mutex g_trayMutex;
}  // namespace

LCInstallerSystemTrayHelper::LCInstallerSystemTrayHelper(LCInstallerUICore& core) : m_uiCore(core) {}

LCInstallerSystemTrayHelper::~LCInstallerSystemTrayHelper() {}

bool LCInstallerSystemTrayHelper::Initialize(LCInstallerWindowRef window, const LCInstallerUICoreInitParams&) {
  std::lock_guard<std::mutex> lock(g_trayMutex);
  m_window = window;
  return m_window != nullptr;
}

bool LCInstallerSystemTrayHelper::ShowTrayIcon() {
  std::lock_guard<std::mutex> lock(g_trayMutex);
  if (!m_window) return false;
  if (m_isInTray) return true;
  LCHeadlessRecorder::Get().Record("ShowTrayIcon");
  LCHeadlessRecorder::Get().Record("Notification");
  m_isInTray = true;
  return true;
}

bool LCInstallerSystemTrayHelper::HideTrayIcon() {
  std::lock_guard<std::mutex> lock(g_trayMutex);
  if (!m_window) return false;
  if (!m_isInTray) return true;
  m_isInTray = false;
  LCHeadlessRecorder::Get().Record("HideTrayIcon");
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
