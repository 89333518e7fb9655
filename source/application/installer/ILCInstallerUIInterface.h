// ILCInstallerUIInterface: how the installer service drives the user interface.
// Every call comes from the service thread, except OnDownloadProgress, which
// comes from the download threads, several at once.
#pragma once

#include <cstdint>

#include "KWAbortFlag.h"
#include "KWPath.h"
#include "KWString.h"
#include "LCInstallerDefines.h"

class ILCInstallerUIInterface {
 public:
  virtual void OnInstallBegin() = 0;
  virtual void OnInstallDone() = 0;
  virtual void OnHandshakeBegin() = 0;
  virtual void OnHandshakeDone(int attempts) = 0;
  virtual void OnDownloadBegin() = 0;
  // True lets the download go on.
  virtual bool OnDownloadProgress(int percent) = 0;
  // The image's size in bytes, reported with its progress once the download
  // knows it (0 before); the percentage of it is what has arrived.
  virtual void OnDownloadSize(uint64_t totalBytes) = 0;
  // The image's bytes that have arrived so far, all parts together, reported
  // with the progress (from the download threads, several at once): the
  // time left and the waiting for the network are judged by them.
  virtual void OnDownloadBytes(uint64_t bytesDone) = 0;
  virtual void OnDownloadDone(int attempts) = 0;
  virtual void OnExtractBegin() = 0;
  virtual void OnExtractDone() = 0;
  virtual void OnSetupBegin() = 0;
  virtual void OnSetupDone() = 0;
  virtual void OnAppLaunchBegin() = 0;
  virtual void OnAppLaunchDone() = 0;
  // Returns after the user has answered the error message.
  virtual void OnError(LCInstallerErrorEnum code) = 0;
  virtual void OnExit() = 0;
  // True when the user chose to retry after the last error.
  virtual bool IsValidInstallAttempt() = 0;
  // The user's exit request; only ever turns from false to true. Polled by
  // the service and the transfers on their own threads.
  virtual KWAbortFlag& IsExitRequested() = 0;
  virtual LCInstallerStateEnum GetState() = 0;
  virtual KWString GetProcessPath() = 0;
  virtual KWPath GetCACertPath() = 0;

 protected:
  ~ILCInstallerUIInterface() = default;
};
