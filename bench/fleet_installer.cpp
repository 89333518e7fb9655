// fleet_installer immediate|backoff CA_FILE: one simulated installer for
// bench/fleet. The real installer service runs its pipeline (connection
// check, handshake, download with its stage attempts and part restarts)
// against the build's compiled-in endpoints, as if the user had clicked
// Install and then left the machine: no Retry is ever pressed. Once the image
// is downloaded it stops: attaching, setup and launch use no network.
// Prints "done SECONDS STATE CODE" (wall-clock seconds since the epoch, the
// last state reached, the error code or 0) and exits 0 when the download
// stage finished.
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <atomic>
#include <string>

#include "KWCustomException.h"
#include "KWFileUtil.h"
#include "KWInternet.h"
#include "KWLCBackoff.h"
#include "LCInstallerService.h"
#include "TestDoubles.h"

namespace {

// The states the UI core moves through, without a window.
class FleetUI : public StubInstallerUI {
 public:
  explicit FleetUI(const std::string& caFile) : m_caFile(caFile) {}
  void OnInstallBegin() override { state = kLCInstallerStateInstallBegun; }
  void OnHandshakeBegin() override { state = kLCInstallerStateHandshaking; }
  void OnHandshakeDone(int) override { state = kLCInstallerStateHandshakeDone; }
  void OnDownloadBegin() override { state = kLCInstallerStateDownloading; }
  void OnDownloadDone(int) override {
    state = kLCInstallerStateDownloadDone;
    // What follows would attach and install the image: not network traffic.
    exitRequested = true;
  }
  void OnError(LCInstallerErrorEnum code) override { error = code; }
  KWPath GetCACertPath() override { return KWPath(KWString(m_caFile)); }

  std::atomic<int> error{0};

 private:
  std::string m_caFile;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "immediate") != 0 && strcmp(argv[1], "backoff") != 0)) {
    fprintf(stderr, "usage: fleet_installer immediate|backoff CA_FILE\n");
    return 2;
  }
  IKWInternetFileDownloader::InitializeCurlForProcess();
  KWLCBackoff::ResetSchedules(strcmp(argv[1], "immediate") == 0);
  CountingExceptionHandler handler;
  FleetUI ui(argv[2]);
  {
    LCInstallerService service(ui, handler);
    service.StartService();
    service.Join();
  }
  // The downloaded image and the session folder go, as when the installer quits.
  KWFileUtil::DeleteAllTempFilesCreated();
  const bool downloaded = ui.state.load() >= kLCInstallerStateDownloadDone;
  timeval now;
  gettimeofday(&now, nullptr);
  printf("done %ld.%06ld %d %d\n", static_cast<long>(now.tv_sec), static_cast<long>(now.tv_usec), ui.state.load(),
         ui.error.load());
  return downloaded ? 0 : 1;
}
