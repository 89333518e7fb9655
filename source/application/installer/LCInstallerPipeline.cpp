// One pipeline run: connection check, handshake, download, attach, setup and
// launch. Each stage runs only if the UI has not yet recorded it as done, so
// a retry resumes at the stage that failed.

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "IKWLCCurlProgressCallback.h"
#include "KWApplicationLaunchUtil.h"
#include "KWException.h"
#include "KWFileUtil.h"
#include "KWInternet.h"
#include "KWLCBackoff.h"
#include "KWLCCloudUtils.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLCCurlMultipartFileDownloader.h"
#include "KWLogger.h"
#include "LCDiskImageTool.h"
#include "LCInstalledProduct.h"
#include "LCInstallerEndpoints.h"
#include "LCInstallerService.h"
#include "LCKeepAwake.h"
#include "LCProductLauncher.h"
#include "LCReleaseManifest.h"

namespace {

const char* const kVolumeName = "Ostrel Clipvane 11";
// The image being downloaded and its record, in the user's cache folder so
// that a crash, a kill or a restart of the computer loses nothing fetched.
const char* const kCacheFolderName = "com.ostrel.clipvane.installer";
const char* const kCachedImageName = "image.dmg";
const char* const kCachedRecordName = "image.record";
std::atomic<uint64_t> g_partSizeForTesting{0};
const int kStageAttempts = 5;
const int kRefusedReplyAttempts = 2;

// Called on the download threads, several at once.
class LCDownloadProgressCallback : public IKWLCCurlProgressCallback {
 public:
  LCDownloadProgressCallback(ILCInstallerUIInterface& ui, const KWLCCurlMultipartFileDownloader& downloader)
      : m_ui(ui), m_downloader(downloader) {}
  bool OnProgress(const void*, const int& percent) const override {
    // The size is the same for a whole attempt: told once, not on every
    // report. Noted only after the UI has it, so that no thread's progress
    // can reach the UI before the size it belongs to.
    const uint64_t size = m_downloader.GetFileSizeBytes();
    if (m_reportedSize.load() != size) {
      m_ui.OnDownloadSize(size);
      m_reportedSize.store(size);
    }
    m_ui.OnDownloadBytes(m_downloader.GetBytesDone());
    return m_ui.OnDownloadProgress(percent);
  }

 private:
  ILCInstallerUIInterface& m_ui;
  const KWLCCurlMultipartFileDownloader& m_downloader;
  mutable std::atomic<uint64_t> m_reportedSize{0};
};

// What the download needs free beside the image. When the image's folder is
// on another file system than the session folder, where the attach unpacks,
// that one is looked at here: without room for the attach the download does
// not start (the need then cannot be met).
std::function<uint64_t(uint64_t, bool)> DiskNeed(const KWFile& image) {
  const std::string imageFolder = image.GetPath().GetParentKWPath(0xFFFFFFFF).GetPathAsKWString().GetUTF8String();
  const std::string session = KWFileUtil::GetSessionTempFolder().GetPath().GetPathAsKWString().GetUTF8String();
  struct stat imageStatus, sessionStatus;
  if (stat(imageFolder.c_str(), &imageStatus) != 0 || stat(session.c_str(), &sessionStatus) != 0 ||
      imageStatus.st_dev == sessionStatus.st_dev) {
    return &LCDiskImageTool::DiskNeedBytes;
  }
  return [session](uint64_t imageBytes, bool imageOnDisk) -> uint64_t {
    const uint64_t attachNeed = LCDiskImageTool::DiskNeedBytes(imageBytes, true);
    const uint64_t free = KWFileUtil::GetFreeDiskBytes(KWPath(KWString(session)));
    if (free < attachNeed) {
      KWLOG("Download: not enough disk space in %s for the attach: %llu bytes free, %llu needed", session.c_str(),
            static_cast<unsigned long long>(free), static_cast<unsigned long long>(attachNeed));
      return std::numeric_limits<uint64_t>::max();
    }
    return imageOnDisk ? 0 : imageBytes;
  };
}

// A link that is down for a moment (a Wi-Fi roaming, a VPN coming up) gets a
// few more looks over about five seconds before the user is told. After the
// user's Retry the check stays on screen for at least a second: a box that
// came straight back would look as if nothing had been tried.
bool ConnectionComesUp(IKWInternetConnectionDetector& detector, const KWAbortFlag& exitRequested, bool isRetry) {
  const auto start = std::chrono::steady_clock::now();
  // A tenth of the stage schedule: waits of about 0.5, 1, 2 and 2 s for users,
  // and as short as a test makes the stages.
  KWLCBackoffSchedule schedule = KWLCBackoff::StageAttempts();
  schedule.m_firstDelay /= 10;
  schedule.m_maxDelay /= 10;
  KWLCBackoff backoff(schedule);
  const unsigned kLooks = 5;
  bool connected = detector.IsConnectedToInternet();
  for (unsigned retry = 0; !connected && retry + 1 < kLooks; ++retry) {
    const std::chrono::milliseconds delay = backoff.Delay(retry);
    KWLOG("network: no connection yet, looking again in %d ms", static_cast<int>(delay.count()));
    if (!KWLCBackoff::Wait(delay, exitRequested)) return false;
    connected = detector.IsConnectedToInternet();
  }
  const auto shown = std::chrono::steady_clock::now() - start;
  const std::chrono::milliseconds kRetryShownFor(1000);
  if (isRetry && shown < kRetryShownFor) {
    KWLCBackoff::Wait(std::chrono::duration_cast<std::chrono::milliseconds>(kRetryShownFor - shown), exitRequested);
  }
  return connected && !exitRequested;
}

// The setup program would say "already installed" only after the whole
// download: when the launch path holds the release's build or a newer one,
// that is said before the first byte. An older build, or one that cannot be
// read, is downloaded and the setup decides.
void ThrowIfAlreadyInstalled(const KWPath& launchPath, const KWString& build) {
  const std::string installed = LCInstalledProduct::BuildAt(launchPath.GetPathAsKWString());
  if (installed.empty()) return;
  int order = 0;
  if (!LCReleaseManifest::CompareBuildNumbers(installed, build.GetUTF8String(), order) || order < 0) {
    KWLOG("Installed: build %s at %s, the release is %s", KWString(installed).c_str(), launchPath.c_str(),
          build.c_str());
    return;
  }
  KWLOG("Installed: build %s at %s, not older than the release's %s: nothing to download", KWString(installed).c_str(),
        launchPath.c_str(), build.c_str());
  throw KWLCException(kLCInstallerErrorAlreadyInstalled, LCInstallerService::kServiceSource, 531, false);
}

}  // namespace

void LCInstallerService::SetDownloadPartSizeForTesting(uint64_t bytes) { g_partSizeForTesting = bytes; }

KWPath LCInstallerService::DownloadCacheFolder() { return KWFileUtil::GetUserCacheFolder(kCacheFolderName); }

void LCInstallerService::DiscardDownload() {
  const KWPath cache = DownloadCacheFolder();
  if (cache.IsEmpty()) return;
  bool removed = false;
  for (const char* name : {kCachedImageName, kCachedRecordName}) {
    const KWFile file(cache.AppendNew(name, KWPath::kKWPathKindFile));
    if (file.Exists()) removed = file.Delete() || removed;
  }
  // The folder only when nothing else is in it.
  rmdir(cache.GetPathAsKWString().c_str());
  if (removed) KWLOG("Download: the kept image was deleted");
}

void LCInstallerService::DiscardStaleDownload() {
  const KWPath cache = DownloadCacheFolder();
  if (cache.IsEmpty()) return;
  struct stat status;
  const KWFile record(cache.AppendNew(kCachedRecordName, KWPath::kKWPathKindFile));
  const KWFile image(cache.AppendNew(kCachedImageName, KWPath::kKWPathKindFile));
  const bool hasRecord = lstat(record.GetPath().c_str(), &status) == 0;
  const time_t lastUse = hasRecord ? status.st_mtime : 0;
  const bool hasImage = lstat(image.GetPath().c_str(), &status) == 0;
  if (!hasRecord && !hasImage) return;
  if (hasRecord && time(nullptr) - lastUse <= KWLCCurlMultipartFileDownloader::kMaxKeptAgeSeconds) return;
  KWLOG("Download: the kept image is more than %d days old or has no record",
        static_cast<int>(KWLCCurlMultipartFileDownloader::kMaxKeptAgeSeconds / 86400));
  DiscardDownload();
}

KWString LCInstallerService::HttpsInsteadOfHttp(const KWString& url) {
  const std::string rest = url.GetUTF8String().substr(kHTTPUrlPrefix.size());
  const size_t end = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, end);
  const std::string tail = end == std::string::npos ? std::string() : rest.substr(end);
  const size_t at = authority.rfind('@');
  const size_t host = at == std::string::npos ? 0 : at + 1;
  const size_t bracket = authority.find(']', host);  // an IPv6 address holds colons
  const size_t colon = authority.find(':', bracket == std::string::npos ? host : bracket);
  if (colon != std::string::npos) {
    // http's own port (however written, or left empty) would be a plain
    // http port under https; any other port is the server's choice.
    const std::string port = authority.substr(colon + 1);
    const size_t significant = port.find_first_not_of('0');
    const bool digits = port.find_first_not_of("0123456789") == std::string::npos;
    if (port.empty() || (digits && significant != std::string::npos && port.substr(significant) == "80"))
      authority.erase(colon);
  }
  return kHTTPSUrlPrefix + KWString(authority + tail);
}

bool LCInstallerService::StageMayRun(LCInstallerStateEnum doneState) {
  return m_uiInterface.GetState() < doneState && !m_uiInterface.IsExitRequested();
}

int LCInstallerService::DownloadAndInstallCLV() {
  IKWInternetConnectionDetector* detector = IKWInternetConnectionDetector::GetInstance();
  detector->SetURLToConnect(kCLVConnectionTestHost);
  const bool retryBeforeBegin =
      m_uiInterface.IsValidInstallAttempt() && m_uiInterface.GetState() == kLCInstallerStateWaitingForInstall;
  if (!ConnectionComesUp(*detector, m_uiInterface.IsExitRequested(), retryBeforeBegin)) {
    throw KWLCException(kLCInstallerErrorNoNetwork, kServiceSource, 485, false);
  }

  KWLCCloudParams downloadParams;
  downloadParams.m_useHTTPS = false;
  if (g_partSizeForTesting != 0) downloadParams.m_downloadPartSizeBytes = g_partSizeForTesting;
  if (m_uiInterface.GetState() == kLCInstallerStateWaitingForInstall) {
    m_uiInterface.OnInstallBegin();
    KWLCCurlMultipartFileDownloader::Initialize();
    KWLCCurlFileDownloader::Initialize(downloadParams);
  }

  if (StageMayRun(kLCInstallerStateHandshakeDone)) RunHandshakeStage();
  if (StageMayRun(kLCInstallerStateDownloadDone)) {
    ThrowIfAlreadyInstalled(m_launchPath, m_buildNumber);
    RunDownloadStage(downloadParams);
  }
  if (StageMayRun(kLCInstallerStateExtractDone)) RunMountStage();
  if (StageMayRun(kLCInstallerStateSetupDone)) RunSetupStage();
  if (StageMayRun(kLCInstallerStateLaunchDone)) RunLaunchStage();
  return 0;
}

void LCInstallerService::RunHandshakeStage() {
  m_uiInterface.OnHandshakeBegin();
  KWLCCloudParams handshakeParams;
  handshakeParams.m_host = kCLVHandshakeHost;
  handshakeParams.m_port = kCLVHandshakePort;
  handshakeParams.m_basePath = KWString();
  handshakeParams.m_useHTTPS = true;
  handshakeParams.m_caCertPath = m_uiInterface.GetCACertPath();

  int attempts = 0;
  int refusals = 0;
  bool done = false;
  KWLCBackoff backoff(KWLCBackoff::StageAttempts());
  while (!done && attempts < kStageAttempts) {
    if (attempts > 0 && !KWLCBackoff::Wait(backoff.Delay(attempts - 1), m_uiInterface.IsExitRequested())) break;
    ++attempts;
    done = DoHandshake(handshakeParams);
    // A refused release is asked for once more (the server may be in the
    // middle of a deployment); what is refused twice is what it serves.
    if (!done && m_handshakeRefusal != kHandshakeNotRefused && ++refusals >= kRefusedReplyAttempts) {
      KWLOG("Handshake: the release was refused %d times, not asking again", refusals);
      throw KWLCException(m_handshakeRefusal == kHandshakeRefusedClockWrong ? kLCInstallerErrorNotVerifiedClock
                                                                            : kLCInstallerErrorNotVerified,
                          kServiceSource, 524, false);
    }
  }
  if (!done) throw KWLCException(kLCInstallerErrorHandshakeFailed, kServiceSource, 523, false);

  KWLOG("Download URL: %s", m_downloadURL.c_str());
  KWLOG("Build Number: %s", m_buildNumber.c_str());
  KWLOG("Launch Path: %s", m_launchPath.c_str());
  m_uiInterface.OnHandshakeDone(attempts);
}

void LCInstallerService::RunDownloadStage(const KWLCCloudParams& downloadParams) {
  m_uiInterface.OnDownloadBegin();
  // Held to the end of the installation, or until an error box (ThreadRun).
  LCKeepAwake::Get().Begin();
  // The URL comes from the server; libcurl would speak any protocol it
  // knows to any host named there.
  if (!KWLCCloudUtils::HasScheme(m_downloadURL, kHTTPUrlPrefix) &&
      !KWLCCloudUtils::HasScheme(m_downloadURL, kHTTPSUrlPrefix)) {
    KWLOG("Download: refused %s, only http and https images are fetched", m_downloadURL.c_str());
    throw KWLCException(kLCInstallerErrorDownloadFailed, kServiceSource, 546, false);
  }
  // A Retry, and a later launch, go on with the bytes an earlier run kept,
  // in the same file. Without a cache folder the image goes to the session
  // folder and lives as long as the process.
  const KWPath cache = DownloadCacheFolder();
  if (!cache.IsEmpty() && KWFileUtil::CreateDirectory(cache, true)) {
    m_downloadedFile = KWFile(cache.AppendNew(kCachedImageName, KWPath::kKWPathKindFile));
    m_downloadRecord.SetRecordFile(KWFile(cache.AppendNew(kCachedRecordName, KWPath::kKWPathKindFile)));
  } else {
    KWLOG("Download: no cache folder, the download is not kept for a later launch");
    m_downloadedFile = m_downloadRecord.HasKeptParts() ? m_downloadRecord.GetDestination()
                                                       : KWFileUtil::GetUniqueTemporaryFile("clv_build");
  }

  // Nothing unverified that came in the clear may reach the attach: with
  // no digest to check, only TLS vouches for the image.
  KWString url = m_downloadURL;
  if (!m_imageSHA256.empty()) {
    KWLOG("Download: the image must have SHA-256 %s", m_imageSHA256.c_str());
  } else if (KWLCCloudUtils::HasScheme(url, kHTTPSUrlPrefix)) {
    KWLOG("Download: no SHA-256 in the handshake reply, the image is unverified beyond TLS");
  } else {
    url = HttpsInsteadOfHttp(url);
    KWLOG("Download: no SHA-256 in the handshake reply, fetching %s over https instead of http", url.c_str());
  }

  KWLCCurlMultipartFileDownloader downloader(downloadParams, m_exceptionHandler, m_uiInterface.IsExitRequested(),
                                             m_downloadedFile, url);
  LCDownloadProgressCallback progress(m_uiInterface, downloader);
  downloader.SetProgressCallback(&progress);
  downloader.SetExpectedSHA256(m_imageSHA256);
  downloader.SetExpectedSizeBytes(m_imageSizeBytes);
  downloader.SetDownloadRecord(&m_downloadRecord);
  downloader.SetDiskNeed(DiskNeed(m_downloadedFile));
  int attempts = 0;
  int mismatches = 0;
  bool done = false;
  KWLCBackoff backoff(KWLCBackoff::StageAttempts());
  while (!done && attempts < kStageAttempts && !downloader.IsPastDeadline()) {
    const long retryAfter = downloader.GetRetryAfterSeconds();
    if (attempts > 0 && !KWLCBackoff::Wait(backoff.Delay(attempts - 1, retryAfter), m_uiInterface.IsExitRequested())) {
      break;
    }
    ++attempts;
    done = downloader.DownloadFile();
    if (done || m_uiInterface.IsExitRequested()) break;
    // What waiting cannot mend ends the stage at once.
    const KWLCCurlMultipartFileDownloader::Failure failure = downloader.GetLastFailure();
    if (failure == KWLCCurlMultipartFileDownloader::kFailureDiskSpace) {
      KWLOG("Download: not enough disk space for the image and its attach");
      throw KWLCException(kLCInstallerErrorNotEnoughDiskSpace, kServiceSource, 546, false);
    }
    if (failure == KWLCCurlMultipartFileDownloader::kFailureTooSlow) {
      KWLOG("Download: the link stayed too slow, not trying again; what arrived is kept");
      break;
    }
    if (failure == KWLCCurlMultipartFileDownloader::kFailureWrite) {
      KWLOG("Download: the image could not be written, not trying again");
      throw KWLCException(kLCInstallerErrorNotSaved, kServiceSource, 547, false);
    }
    // A corrupting middlebox may be passing; a server that sends other
    // bytes every time is not worth a third full download.
    if (failure == KWLCCurlMultipartFileDownloader::kFailureDigest && ++mismatches >= 2) {
      KWLOG("Download: the image arrived twice with another SHA-256 than the handshake's, not trying again");
      break;
    }
  }
  if (!done) throw KWLCException(kLCInstallerErrorDownloadFailed, kServiceSource, 546, false);
  if (!m_imageSHA256.empty()) KWLOG("Download: image verified, SHA-256 %s", m_imageSHA256.c_str());
  m_uiInterface.OnDownloadDone(attempts);
}

void LCInstallerService::RunMountStage() {
  m_uiInterface.OnExtractBegin();
  const KWString imagePath = m_downloadedFile.GetPath().GetPathAsKWString();
  const std::string mountRoot = KWFileUtil::GetSessionTempFolder().GetPath().GetPathAsKWString().GetUTF8String();
  // The disk may have filled since the download began (its blocks were
  // taken as it went): looked at again, so that the user is asked for room
  // rather than told the installation failed. A Retry comes back here, with
  // the verified image still in place.
  struct stat image;
  if (stat(imagePath.c_str(), &image) == 0) {
    const uint64_t need = LCDiskImageTool::DiskNeedBytes(static_cast<uint64_t>(image.st_size), true);
    const uint64_t free = KWFileUtil::GetFreeDiskBytes(KWPath(KWString(mountRoot)));
    if (free < need) {
      KWLOG("Attach: not enough disk space in %s: %llu bytes free, %llu needed", mountRoot.c_str(),
            static_cast<unsigned long long>(free), static_cast<unsigned long long>(need));
      throw KWLCException(kLCInstallerErrorNotEnoughDiskSpace, kServiceSource, 578, false);
    }
  }
  KWLOG("Attaching image %s", imagePath.c_str());
  const LCAttachOutcome attached = LCDiskImageTool::Attach(imagePath, mountRoot, &m_uiInterface.IsExitRequested());
  if (attached.exitCode >= 0) KWLOG("hdiutil attach returned: %d", attached.exitCode);
  if (!attached.reason.empty()) KWLOG("hdiutil attach: %s", attached.reason.c_str());
  // Whatever this attach mounted goes with the image, detached once by its
  // device: each Retry attaches again, and on macOS a mount outlives the
  // installer. Detaching one volume alone would take the image's others with
  // it, the setup volume among them.
  m_attachedDisks = LCDiskImageTool::WholeDisks(attached.entities);
  if (attached.cancelled) throw KWLCException(kLCInstallerErrorSetupFolderMissing, kServiceSource, 579, false);
  if (attached.outOfSpace) {
    KWLOG("Attach: not enough disk space to attach the image");
    DetachImage();
    throw KWLCException(kLCInstallerErrorNotEnoughDiskSpace, kServiceSource, 578, false);
  }
  // Only the setup folder counts: the tool's own result is not trusted. An
  // image may name its volume otherwise, or hold several.
  const std::string volume = LCDiskImageTool::VolumeHolding(attached.entities, mountRoot, kVolumeName);
  if (volume.empty()) {
    KWLOG("Attach: no volume of the image holds the folder \"%s\"", kVolumeName);
    DetachImage();
    throw KWLCException(kLCInstallerErrorSetupFolderMissing, kServiceSource, 579, false);
  }
  m_setupFolder = KWFile(KWPath(KWString(volume)).AppendNew(kVolumeName));
  KWLOG("Unzip complete. ");
  m_uiInterface.OnExtractDone();
}

void LCInstallerService::RunSetupStage() {
  m_uiInterface.OnSetupBegin();
  const KWPath setupFolder = m_setupFolder.GetPath();
  const KWPath deploymentFile = setupFolder.AppendNew("deploy").Append("en_US_deployment.xml", KWPath::kKWPathKindFile);
  KWLOG("Path to setup: %s", setupFolder.c_str());
  KWLOG("Path to deployment file: %s", deploymentFile.c_str());

  // The setup program may leave a "debug.log" beside the installer; remove it
  // unless it was there before.
  const KWFile debugLog(KWFileUtil::GetCurrentExecutablePath().GetParentKWPath(0xFFFFFFFF).AppendNew("debug.log"));
  const bool debugLogExisted = debugLog.Exists();

  const KWPath setupProgram = setupFolder.AppendNew("Install.app")
                                  .Append("Contents")
                                  .Append("MacOS")
                                  .Append("Install", KWPath::kKWPathKindFile);
  int exitCode = 0;
  // A quit must not wait for a setup program that hangs: the wait ends with
  // the exit flag, and the setup's whole process group with it.
  KWApplicationLaunchUtil::KWWaitOptions options;
  options.m_cancel = &m_uiInterface.IsExitRequested();
  const int result = KWApplicationLaunchUtil::RunAndWait(
      setupProgram.GetPathAsKWString(),
      {"--mode=silent", KWString("--deploymentFile=") + deploymentFile.GetPathAsKWString()}, exitCode, true, options);

  if (!debugLogExisted && debugLog.Exists()) debugLog.Delete();
  if (result == ECANCELED) {
    KWLOG("Setup: quit requested, the setup program and its process group were ended");
    // No message reaches the user once they quit; the code only ends the run.
    throw KWLCException(kLCInstallerErrorSetupLaunchFailed, kServiceSource, 614, false);
  }
  if (result != 0) throw KWLCException(kLCInstallerErrorSetupLaunchFailed, kServiceSource, 614, false);
  if (exitCode != 0) throw KWLCException(exitCode, kServiceSource, 616, false);
  m_uiInterface.OnSetupDone();
}

void LCInstallerService::RunLaunchStage() {
  m_uiInterface.OnAppLaunchBegin();
  KWLOG("Launching app: %s", m_launchPath.c_str());
  // The path comes from the server: only an absolute one names the installed
  // application; a bare name would be looked up on PATH, a relative one in
  // whatever folder the installer was started from.
  if (!m_launchPath.GetPathAsKWString().StartsWith("/")) {
    KWLOG("Launch path is not absolute, not started");
    throw KWLCException(kLCInstallerErrorAppLaunchFailed, kServiceSource, 641, false);
  }
  const int result = LCLaunchInstalledProduct(m_launchPath.GetPathAsKWString(), {"--campaignID", "cnet"});
  if (result != 0) throw KWLCException(kLCInstallerErrorAppLaunchFailed, kServiceSource, 641, false);
  m_uiInterface.OnAppLaunchDone();
}
