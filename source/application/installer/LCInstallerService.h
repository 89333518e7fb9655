// LCInstallerService: runs the installation on a thread of its own.
//
//   LCInstallerService service(uiCore, exceptionHandler);
//   service.StartService();
//   ...                      // the destructor waits for the thread to finish
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "IKWLCCloudService.h"
#include "ILCInstallerUIInterface.h"
#include "KWCustomException.h"
#include "KWFile.h"
#include "KWLCCloudStructs.h"
#include "KWLCCurlMultipartFileDownloader.h"
#include "KWLCWorkerThread.h"
#include "KWPath.h"
#include "KWString.h"
#include "KWThread.h"

class LCReleaseVerifier;

class LCInstallerService : public KWLCWorkerThreadCallback, private IKWLCCloudService {
 public:
  LCInstallerService(ILCInstallerUIInterface& ui, IKWCustomExceptionHandler& handler);
  ~LCInstallerService() override;

  void ThreadRun() override;

  void StartService() override;
  // Only waiting is supported: StopService(false) throws.
  void StopService(const bool& wait) override;
  void Join() override;
  // Pausing is not supported: both throw.
  void Pause(const bool& wait) override;
  void Resume() override;
  bool IsDone() const override { return m_isDone; }
  bool IsSuccess() const override { return m_isSuccess; }
  bool IsPaused() const override { return m_isPaused; }
  void Run() override {}

  // The user's cache folder that holds the image being downloaded and its
  // record, kept across a crash, a kill or a restart of the computer.
  static KWPath DownloadCacheFolder();
  // Deletes the kept image: after an installation, and when the user quits it.
  static void DiscardDownload();
  // Deletes a kept image not used for days, or left without its record.
  static void DiscardStaleDownload();

  // An http URL as https, without the port when it named http's default.
  static KWString HttpsInsteadOfHttp(const KWString& url);

  // The source name that the service's exceptions carry, with a fixed line
  // number per error (485 for 9000, 523 for 9001, 524 for 9007 and 9008,
  // 531 for a release already installed (32), 546 for 9002 and for too
  // little disk space (30) to download, 578 for too little to attach (30),
  // 547 for 9009, 579 for 9003, 614 and 616 for setup, 641 for
  // 9005, 356, 371 and 376 for the unsupported stop and pause). They are
  // stable identifiers of where an installation failed, the same in every
  // release and read from logs and crash reports; they are not this file's
  // name or lines.
  static constexpr const char* kServiceSource = "source/application/installer/LCInstallerService";

  // Tests only: the release keys every service checks replies against from
  // now on, instead of the compiled-in ones; null goes back to those. The
  // verifier must outlive every service that runs meanwhile.
  static void SetReleaseVerifierForTesting(const LCReleaseVerifier* verifier);
  // Tests only: the part size of every later download (0: the shipped one),
  // so that a small image has many parts.
  static void SetDownloadPartSizeForTesting(uint64_t bytes);

 protected:
  // One pipeline run; a retry runs it again and it skips finished stages.
  // Throws KWLCException on failure.
  virtual int DownloadAndInstallCLV();
  // One handshake attempt; true when the reply said "success". Never throws.
  // m_handshakeRefusal says whether a false came from a reply that arrived
  // but was refused (its signature, build or expiry).
  bool DoHandshake(const KWLCCloudParams& params);

  enum HandshakeRefusal { kHandshakeNotRefused, kHandshakeRefused, kHandshakeRefusedClockWrong };
  HandshakeRefusal m_handshakeRefusal = kHandshakeNotRefused;

  KWString m_downloadURL;
  KWString m_buildNumber;
  // The image's SHA-256 from the handshake reply, in lower-case hex; empty
  // when the reply carried none.
  KWString m_imageSHA256;
  // The image's size in bytes from a signed reply; 0 when not signed.
  uint64_t m_imageSizeBytes = 0;
  KWFile m_downloadedFile;
  // The image's parts that arrived whole, kept for the user's Retry.
  KWLCDownloadRecord m_downloadRecord;
  KWFile m_setupFolder;
  KWPath m_launchPath;
  // The whole disks ("/dev/diskN") the last attach created, detached at the
  // end or when the attach stage fails.
  std::vector<std::string> m_attachedDisks;
  ILCInstallerUIInterface& m_uiInterface;
  IKWCustomExceptionHandler& m_exceptionHandler;

 private:
  void FinishInstallation();
  void DetachImage();
  // True when the UI has not reached doneState and no exit was asked for.
  bool StageMayRun(LCInstallerStateEnum doneState);
  void RunHandshakeStage();
  void RunDownloadStage(const KWLCCloudParams& downloadParams);
  void RunMountStage();
  void RunSetupStage();
  void RunLaunchStage();

  KWLCWorkerThread m_workerThread;
  std::atomic<bool> m_isStopRequested{false};
  std::atomic<bool> m_isDone{false};
  std::atomic<bool> m_isSuccess{true};
  std::atomic<bool> m_isPaused{false};
  KWMutex m_pauseMutex;
  KWCondition m_pauseCondition;
  KWMutex m_stopMutex;
  KWCondition m_stopCondition;
};
