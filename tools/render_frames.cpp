// Renders the installer window in each of its looks from the pictures in an
// asset folder and writes every frame as a PNG, for checking the pictures by eye.
//
//   render_frames assets/installer build/frames        # English, 868 x 592
//   render_frames assets/installer build/frames ja 2   # Japanese, 1736 x 1184
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "KWFileUtil.h"
#include "LCBGRAImageFile.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "LCInstallerUIHeadless.h"

namespace {

class FixedClock : public ILCInstallerUIClock {
 public:
  boost::posix_time::ptime SecondClockNow() override { return m_now; }
  boost::posix_time::ptime MicrosecondClockNow() override { return m_now; }
  boost::posix_time::ptime m_now = boost::posix_time::time_from_string("2024-03-01 12:00:00.000");
};

}  // namespace

int main(int argc, char** argv) {
  // With --downloading N only the frame of the download at N %, as
  // OUTPUT_FOLDER/downloading_N.png, in English at 1x.
  const bool oneDownloadFrame = argc == 5 && std::string(argv[3]) == "--downloading";
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s ASSET_FOLDER OUTPUT_FOLDER [LOCALE [SCALE] | --downloading PERCENT]\n", argv[0]);
    return 2;
  }
  const bool localeGiven = argc > 3 && !oneDownloadFrame;
  LCInstallerText::Load(KWPath(argv[1]), localeGiven ? argv[3] : "en");
  const std::string outFolder = argv[2];
  KWFileUtil::CreateDirectory(KWPath(outFolder.c_str()), true);
  FixedClock clock;
  ILCInstallerUIClock::SetInstanceForTesting(&clock);
  LCInstallerUIHeadless::SetAssetFolder(argv[1]);
  LCInstallerUIHeadless::SetMessageBoxScript([](const LCHeadlessMessageBox&) { return kLCInstallerMBResultNo; });

  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.SetRenderScale(localeGiven && argc > 4 ? std::atoi(argv[4]) : 1);
  core.CreateUI();
  int failures = 0;
  auto save = [&](const std::string& name) {
    core.RenderUI();
    const std::string path = outFolder + "/" + name + ".png";
    if (!LCSaveBGRAImageAsPNG(core.GetRenderedUI(), path.c_str())) {
      std::fprintf(stderr, "could not write %s\n", path.c_str());
      ++failures;
    }
  };

  if (oneDownloadFrame) {
    core.OnInstallBegin();
    core.MaximizeUI();
    core.OnDownloadBegin();
    core.OnDownloadProgress(std::atoi(argv[4]));
    save(std::string("downloading_") + argv[4]);
    ILCInstallerUIClock::SetInstanceForTesting(nullptr);
    return failures == 0 ? 0 : 1;
  }
  save("01_welcome");
  core.OnMouseMove(400, 410);
  save("02_welcome_install_hover");
  core.OnLButtonDown(400, 410);
  save("03_welcome_install_pressed");
  core.OnLButtonUp(10, 300);
  core.OnMouseMove(480, 458);
  save("04_welcome_licence_hover");
  core.OnMouseMove(15, 10);
  save("05_welcome_app_close_hover");
  core.OnMouseMove(300, 300);
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    save("06_welcome_disabled");
    return kLCInstallerMBResultNo;
  });
  core.OnAppClose();
  core.OnKey(kLCInstallerKeyTab);
  save("08_welcome_focus_install");
  core.OnKey(kLCInstallerKeyTab);
  save("09_welcome_focus_licence");
  core.OnInstallNowButtonClick();
  save("07_welcome_checking_connection");

  core.OnInstallBegin();
  core.MaximizeUI();
  clock.m_now += boost::posix_time::milliseconds(250);
  save("10_install_begun");
  core.OnHandshakeBegin();
  clock.m_now += boost::posix_time::milliseconds(300);
  save("11_handshaking");
  core.OnHandshakeDone(1);
  core.OnDownloadBegin();
  save("12_downloading_0");
  core.OnDownloadSize(26000000);
  for (int percent = 1; percent <= 50; ++percent) {  // a per cent a second: the time left shows
    clock.m_now += boost::posix_time::seconds(1);
    core.OnDownloadProgress(percent);
  }
  core.OnMouseMove(600, 60);
  save("13_downloading_50_close_hover");
  core.OnDownloadProgress(100);
  core.OnMouseMove(15, 10);
  save("14_downloading_100_minimize_hover");
  core.OnDownloadDone(1);
  core.OnMouseMove(300, 300);
  save("15_download_done");
  core.OnExtractBegin();
  save("16_extracting");
  core.OnSetupBegin();
  save("17_installing");
  core.OnAppLaunchBegin();
  save("18_launching");
  for (int slide = 1; slide <= 7; ++slide) {
    core.OnMouseClick(kLCInstallerButtonSlide1 + slide - 1);
    save("2" + std::to_string(slide) + "_slide_" + std::to_string(slide));
  }
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    save("30_error_disabled");
    return kLCInstallerMBResultCancel;
  });
  core.OnError(9002);
  ILCInstallerUIClock::SetInstanceForTesting(nullptr);
  return failures == 0 ? 0 : 1;
}
