// KWLCCloudThreadCallbackReceiver: lets a cloud service's Run be the body of
// its KWLCWorkerThread without the service itself being a thread callback.
#pragma once

#include "IKWLCCloudService.h"
#include "KWLCWorkerThread.h"

class KWLCCloudThreadCallbackReceiver final : public KWLCWorkerThreadCallback {
 public:
  explicit KWLCCloudThreadCallbackReceiver(IKWLCCloudService& service) : m_service(service) {}
  void ThreadRun() override { m_service.Run(); }

 private:
  IKWLCCloudService& m_service;
};
