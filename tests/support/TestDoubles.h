// Stand-ins for the objects a component is handed by reference: an exception
// handler that counts its calls and a user interface that does nothing.
#pragma once

#include <atomic>

#include "ILCInstallerUIInterface.h"
#include "KWCustomException.h"

class CountingExceptionHandler : public IKWCustomExceptionHandler {
 public:
  void OnCustomException(const KWLCException&) override { ++calls; }
  void OnCustomException() override { ++calls; }
  std::atomic<int> calls{0};
};

// Every event is accepted and ignored; tests override what they watch.
class StubInstallerUI : public ILCInstallerUIInterface {
 public:
  void OnInstallBegin() override {}
  void OnInstallDone() override {}
  void OnHandshakeBegin() override {}
  void OnHandshakeDone(int) override {}
  void OnDownloadBegin() override {}
  bool OnDownloadProgress(int) override { return true; }
  void OnDownloadSize(uint64_t) override {}
  void OnDownloadBytes(uint64_t) override {}
  void OnDownloadDone(int) override {}
  void OnExtractBegin() override {}
  void OnExtractDone() override {}
  void OnSetupBegin() override {}
  void OnSetupDone() override {}
  void OnAppLaunchBegin() override {}
  void OnAppLaunchDone() override {}
  void OnError(LCInstallerErrorEnum) override {}
  void OnExit() override {}
  bool IsValidInstallAttempt() override { return false; }
  KWAbortFlag& IsExitRequested() override { return exitRequested; }
  LCInstallerStateEnum GetState() override { return state; }
  KWString GetProcessPath() override { return KWString(); }
  KWPath GetCACertPath() override { return KWPath(); }

  KWAbortFlag exitRequested{false};
  std::atomic<int> state{kLCInstallerStateWaitingForInstall};

 protected:
  ~StubInstallerUI() = default;
};
