// The installer process: start-up, the two event-loop runs around the
// installation, and the shutdown order. Always exits with 0.

#include <atomic>
#include <memory>

#include "KWException.h"
#include "KWFileUtil.h"
#include "KWInternet.h"
#include "KWLogger.h"
#include "KWSystemUtils.h"
#include "LCInstallerAnalytics.h"
#include "LCInstallerDefines.h"
#include "LCInstallerService.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "LCLocale.h"
#include "LCOSVersion.h"
#include "LCProcessSetup.h"
#include "LCSingleInstance.h"

namespace {

const char* const kAppSource = "source/application/LectureCaptureInstallerApp";

// Reports from worker threads need no action here: every failure the user
// must know about reaches the UI through the service.
class InstallerCustomExceptionHandler : public IKWCustomExceptionHandler {
 public:
  void OnCustomException(const KWLCException&) override {}
  void OnCustomException() override {}
};

// The text of a start-up failure's box; empty for a failure without one.
KWString MessageForCode(int code) {
  switch (code) {
    case kLCInstallerErrorAnotherInstance:
      return LCInstallerText::Get("error.11");
    case kLCInstallerErrorOSNotSupported:
      return LCInstallerText::Get("startup.os_not_supported");
    default:
      return KWString();
  }
}

}  // namespace

int main(int argc, char** argv) {
  LCPrepareProcess();
  KWExceptionUtils::InstallExceptionHandler();
  // libcurl's global state for the whole process, taken before any thread
  // starts: the analytics thread may send before the UI core initialises
  // libcurl, and still sends after the UI core's cleanup.
  IKWInternetFileDownloader::InitializeCurlForProcess();
  InstallerCustomExceptionHandler handler;
  LCInstallerUICore::InstallQuitSignalHandlers();
  LCInstallerAnalytics::StartThread(handler);

  std::unique_ptr<LCSingleInstance> singleInstance;
  try {
    KWPath logPath = KWFileUtil::GetSystemTempFolder().GetPath();
    logPath.Append("kwel_installer_log.txt", KWPath::kKWPathKindFile);
    gKWLogger.SetLogFilePath(logPath.GetPathAsKWString());
    gKWLogger.LogEnableAtRuntime(true);
    gKWLogger.SetConsoleOutputFlag(true);

    KWLOG("Ostrel Clipvane Installer Version %d.%d.%d.%d", kLCInstallerVersionMajor, kLCInstallerVersionMinor,
          kLCInstallerVersionRevision, kLCInstallerVersionBuild);
    const KWString osVersion = GetOSVersion();
    KWLOG("OS: %s", osVersion.c_str());
    // Before anything can raise a box: every text a person reads is in this locale.
    const std::string locale = LCLocale::Choose(LCLocale::SystemPreferences(), LCLocale::Available());
    KWLOG("UI: locale %s", locale.c_str());
    LCInstallerText::Load(
        KWFileUtil::GetCurrentExecutablePath().AppendNew("Contents").Append("Resources").Append("installer"), locale);
    LCInstallerAnalytics::PingTalkToOstrelServer("Launch", osVersion);
    // Before the first box too: its fonts and icon are those of the window.
    LCInstallerUICore::PrepareWindowSystem();

    // Two installers would download into and mount over each other.
    singleInstance.reset(new LCSingleInstance);
    if (!singleInstance->IsOnlyInstance())
      throw KWLCException(kLCInstallerErrorAnotherInstance, kAppSource, 146, false);
    LCInstallerUICore::SetComeForwardCheck([&singleInstance] { return singleInstance->ComeForwardAsked(); });
    if (!IsOSXMountainLionOrGreater()) throw KWLCException(kLCInstallerErrorOSNotSupported, kAppSource, 150, false);
    // What a crashed or killed run left behind (its part files, its image).
    if (const int stale = KWFileUtil::DeleteStaleSessionFolders()) {
      KWLOG("Session: removed %d folders of earlier runs that ended without cleaning up", stale);
    }
    // An unfinished download is kept for the next launch, but not for ever.
    LCInstallerService::DiscardStaleDownload();

    LCInstallerUICoreInitParams initParams;
    initParams.m_argc = argc;
    initParams.m_argv = argv;
    LCInstallerUICore uiCore(initParams);

    KWLOG("Creating UI");
    uiCore.CreateUI();
    // Again: GNUstep's application object takes SIGTERM and SIGINT for itself.
    LCInstallerUICore::InstallQuitSignalHandlers();
    KWLOG("Waiting for install button click ...");
    uiCore.RunEventLoop(uiCore.IsWaitingOnInstallButtonClick());

    if (!uiCore.IsExitRequested()) {
      LCInstallerService service(uiCore, handler);
      KWLOG("Starting installer service");
      service.StartService();
      KWLOG("UI loop");
      const std::atomic<bool> keepRunning{true};
      uiCore.RunEventLoop(keepRunning);
      KWLOG("UI loop done");
    }
  } catch (const KWLCException& exception) {
    KWLOG("Caught exception: %d", exception.GetCode());
    const KWString message = MessageForCode(exception.GetCode());
    if (!message.empty()) {
      LCInstallerUICore::ShowMessageBox(LCInstallerText::Get("installer.name"), message, kLCInstallerMBTypeOK,
                                        kLCInstallerMBDefaultButton1);
    }
    // Once the box is gone the running installer comes forward, not before:
    // it would cover the box.
    if (exception.GetCode() == kLCInstallerErrorAnotherInstance && singleInstance) {
      singleInstance->AskRunningToComeForward();
    }
  } catch (...) {
    KWLOG("Unknown exception in main()");
  }

  LCInstallerAnalytics::StopThread();
  // What the toolkit started for this run (GNUstep's notification server)
  // does not outlive it.
  if (const int daemons = KWSystemUtils::EndToolkitDaemons()) KWLOG("Session: ended %d toolkit daemons", daemons);
  KWLOG("Done. Exiting ...");
  return 0;
}
