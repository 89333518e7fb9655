#include "LCInstallerService.h"

#include <vector>

#include "KWApplicationLaunchUtil.h"
#include "KWException.h"
#include "KWLogger.h"

LCInstallerService::LCInstallerService(ILCInstallerUIInterface& ui, IKWCustomExceptionHandler& handler)
    : m_uiInterface(ui), m_exceptionHandler(handler), m_workerThread(handler, *this, kKWThreadPriorityNormal) {}

LCInstallerService::~LCInstallerService() { StopService(true); }

void LCInstallerService::StartService() {
  KWLOG("LCInstallerService::StartService");
  m_isStopRequested = false;
  m_isDone = false;
  m_isPaused = false;
  m_workerThread.start();
}

void LCInstallerService::StopService(const bool& wait) {
  KWLOG("LCInstallerService::StopService");
  if (!wait) throw KWLCException("kKWErrorInternal", kServiceSource, 356, false);
  if (IsPaused()) Resume();
  m_isStopRequested = true;
  {
    KWLock lock(m_stopMutex);
    m_stopCondition.notify_all();
  }
  m_workerThread.join();
}

void LCInstallerService::Join() {
  KWLOG("LCInstallerService::Join");
  m_workerThread.join();
}

void LCInstallerService::Pause(const bool&) {
  KWLOG("LCInstallerService::Pause, not implemented!");
  throw KWLCException("kKWErrorInternal", kServiceSource, 371, false);
}

void LCInstallerService::Resume() {
  KWLOG("LCInstallerService::Resume, not implemented!");
  throw KWLCException("kKWErrorInternal", kServiceSource, 376, false);
}

void LCInstallerService::ThreadRun() {
  KWLOG("LCInstallerService::Run");
  m_isSuccess = false;
  do {
    try {
      m_isSuccess = DownloadAndInstallCLV() == 0;
    } catch (const KWLCException& exception) {
      const bool exitRequested = m_uiInterface.IsExitRequested();
      KWLOG("Caught exception: %d validAttempt:%d exitRequested:%d", exception.GetCode(),
            m_uiInterface.IsValidInstallAttempt() ? 1 : 0, exitRequested ? 1 : 0);
      if (!exitRequested) m_uiInterface.OnError(exception.GetCode());
    } catch (...) {
      KWLOG("Caught unknown exception in LCInstallerService::Run");
      m_isSuccess = false;
    }
  } while (m_uiInterface.IsValidInstallAttempt());

  FinishInstallation();
  m_isDone = true;
}

void LCInstallerService::FinishInstallation() {
  try {
    m_uiInterface.OnInstallDone();
    DetachImage();
  } catch (...) {
    KWLOG("Caught unknown exception in LCInstallerService::Run when calling m_uiInterface.OnInstallDone");
  }
}

void LCInstallerService::DetachImage() {
  const KWString mountPath = m_mountPath.GetPathAsKWString();
  if (mountPath.empty()) return;
  DetachVolume(mountPath);
  m_mountPath = KWPath();
}

void LCInstallerService::DetachVolume(const KWString& mountPoint) {
  KWLOG("Detaching device %s", mountPoint.c_str());
  // A volume stays busy for a moment after the setup program has quit (the
  // Finder or Spotlight may still look at it): the second try forces it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) KWLOG("hdiutil: detach failed, trying again with -force");
    int exitCode = 0;
    const int result =
        KWApplicationLaunchUtil::LaunchApplication(GetDiskImageToolPath(), DetachArguments(mountPoint, attempt > 0),
                                                   exitCode, KWApplicationLaunchUtil::kKWLaunchWait, false);
    if (result != 0) KWLOG("Error while executing hdiutil for detach");
    KWLOG("hdiutil detach returned: %d", result == 0 ? exitCode : 0);
    if (result == 0 && exitCode == 0) break;
  }
}
