// KWLCWorkerThread: runs a callback's ThreadRun on its own thread and makes
// sure no exception leaves that thread: a failure is reported and handed to
// the owner's exception handler, then the thread ends normally.
#pragma once

#include "KWCustomException.h"
#include "KWThread.h"

class KWLCWorkerThreadCallback {
 public:
  virtual void ThreadRun() = 0;

 protected:
  ~KWLCWorkerThreadCallback() = default;
};

class KWLCWorkerThread : public KWWorkerThread {
 public:
  KWLCWorkerThread(IKWCustomExceptionHandler& handler, KWLCWorkerThreadCallback& callback,
                   KWThreadPriorityEnum priority);
  ~KWLCWorkerThread() override;

 protected:
  void run() override;

 private:
  KWLCWorkerThreadCallback& m_callback;
  IKWCustomExceptionHandler& m_exceptionHandler;
};
