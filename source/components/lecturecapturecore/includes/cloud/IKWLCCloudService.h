// IKWLCCloudService: a long-running transfer or installer service.
#pragma once

class IKWLCCloudService {
 public:
  virtual ~IKWLCCloudService() {}
  virtual void StartService() = 0;
  // With wait set, returns once the service's thread has ended.
  virtual void StopService(const bool& wait) = 0;
  virtual void Pause(const bool& wait) = 0;
  virtual void Resume() = 0;
  virtual void Join() = 0;
  virtual bool IsDone() const = 0;
  virtual bool IsSuccess() const = 0;
  virtual bool IsPaused() const = 0;
  virtual void Run() = 0;
};
