#include "KWLCWorkerThread.h"

#include "KWException.h"

KWLCWorkerThread::KWLCWorkerThread(IKWCustomExceptionHandler& handler, KWLCWorkerThreadCallback& callback,
                                   KWThreadPriorityEnum priority)
    : KWWorkerThread(priority), m_callback(callback), m_exceptionHandler(handler) {}

KWLCWorkerThread::~KWLCWorkerThread() = default;

void KWLCWorkerThread::run() {
  KWExceptionUtils::InstallExceptionHandler();
  try {
    m_callback.ThreadRun();
  } catch (const KWLCException& exception) {
    KWAssertFailed("KWCustomException in KWLCWorkerThread", __FILE__, __LINE__);
    m_exceptionHandler.OnCustomException(exception);
  } catch (...) {
    KWAssertFailed("Exception in KWLCWorkerThread", __FILE__, __LINE__);
    m_exceptionHandler.OnCustomException();
  }
}
