#include "LCInstallerService.h"

#include <vector>

#include "KWApplicationLaunchUtil.h"
#include "KWException.h"
#include "KWLogger.h"
#include "LCDiskImageTool.h"
#include "LCKeepAwake.h"

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
      // Nothing works while the box waits for the user; a Retry holds it again.
      LCKeepAwake::Get().End();
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
  // The image goes first: "done" is what a quit waits for before it removes
  // the session folder the image is attached in, and the process may end
  // right after it.
  try {
    DetachImage();
    // An installed image is not kept for a later launch.
    if (m_isSuccess) DiscardDownload();
  } catch (...) {
    KWLOG("Caught unknown exception in LCInstallerService::Run when detaching the image");
  }
  try {
    m_uiInterface.OnInstallDone();
  } catch (...) {
    KWLOG("Caught unknown exception in LCInstallerService::Run when calling m_uiInterface.OnInstallDone");
  }
  LCKeepAwake::Get().End();
}

void LCInstallerService::DetachImage() {
  for (const std::string& disk : m_attachedDisks) LCDiskImageTool::Detach(disk);
  m_attachedDisks.clear();
}
