// The UI core's installer events, percentage rules, stall test, error
// messages and the exit logic between the main and the service thread.
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "LCInstallerEndpoints.h"
#include "uicore_test_support.h"

namespace {

struct StageCase {
  const char* label;
  std::function<void(LCInstallerUICore&)> call;
  const char* logLine;
  RecordedPing ping;
  LCInstallerStateEnum state;
};

TEST_F(UICoreTest, EachStageEventLogsPingsAndEntersItsState) {
  const std::vector<StageCase> cases = {
      {"InstallBegin",
       [](LCInstallerUICore& ui) { ui.OnInstallBegin(); },
       "CLV installer version 1.0.0.0",
       {"InstallBegin", ""},
       kLCInstallerStateInstallBegun},
      {"HandshakeBegin",
       [](LCInstallerUICore& ui) { ui.OnHandshakeBegin(); },
       "Handshaking ... ",
       {"HandshakeBegin", ""},
       kLCInstallerStateHandshaking},
      {"HandshakeDone",
       [](LCInstallerUICore& ui) { ui.OnHandshakeDone(3); },
       "Handshake complete.",
       {"HandshakeDone", "3"},
       kLCInstallerStateHandshakeDone},
      {"DownloadBegin",
       [](LCInstallerUICore& ui) { ui.OnDownloadBegin(); },
       "Downloading ... ",
       {"DownloadBegin", ""},
       kLCInstallerStateDownloading},
      {"DownloadDone",
       [](LCInstallerUICore& ui) { ui.OnDownloadDone(2); },
       "Download complete. ",
       {"DownloadDone", "2"},
       kLCInstallerStateDownloadDone},
      {"ExtractBegin",
       [](LCInstallerUICore& ui) { ui.OnExtractBegin(); },
       "Extracting ... ",
       {"ExtractBegin", ""},
       kLCInstallerStateExtracting},
      {"ExtractDone",
       [](LCInstallerUICore& ui) { ui.OnExtractDone(); },
       "Extract complete.",
       {"ExtractDone", ""},
       kLCInstallerStateExtractDone},
      {"SetupBegin",
       [](LCInstallerUICore& ui) { ui.OnSetupBegin(); },
       "Installing ... ",
       {"SetupBegin", ""},
       kLCInstallerStateSettingUp},
      {"SetupDone",
       [](LCInstallerUICore& ui) { ui.OnSetupDone(); },
       "Install complete.",
       {"SetupDone", ""},
       kLCInstallerStateSetupDone},
      {"AppLaunchBegin",
       [](LCInstallerUICore& ui) { ui.OnAppLaunchBegin(); },
       "Launching CLV ...",
       {"AppLaunchBegin", ""},
       kLCInstallerStateLaunching},
      {"AppLaunchDone",
       [](LCInstallerUICore& ui) { ui.OnAppLaunchDone(); },
       "Launching CLV complete.",
       {"AppLaunchDone", ""},
       kLCInstallerStateLaunchDone},
  };
  for (const StageCase& stage : cases) {
    SCOPED_TRACE(stage.label);
    LogCapture log;
    PingLog::Get().Clear();
    stage.call(*m_core);
    EXPECT_EQ(std::vector<std::string>{stage.logLine}, log.Lines());
    EXPECT_EQ(std::vector<RecordedPing>{stage.ping}, PingLog::Get().Pings());
    EXPECT_EQ(stage.state, m_core->GetState());
  }
}

TEST_F(UICoreTest, InstallBeginHidesToTheMenuBarBeforeItsPingAndSwitchesTheInput) {
  EXPECT_EQ((std::vector<LCInstallerButtonId>{3, 0, 1}), m_core->GetActiveObjectIds());
  m_core->OnInstallBegin();
  EXPECT_EQ((std::vector<std::string>{"HideApplication", "ShowTrayIcon", "Notification"}),
            LCInstallerUIHeadless::GetCalls());
  EXPECT_TRUE(m_core->GetTrayHelper().IsInTray());
  EXPECT_EQ(std::vector<std::string>{"InstallBegin"}, PingLog::Get().Names());
  EXPECT_EQ((std::vector<LCInstallerButtonId>{3, 2, 4, 5, 6, 7, 8, 9, 10}), m_core->GetActiveObjectIds());
  EXPECT_EQ(1, m_core->GetSlideIndex());
  // The menu-bar icon shows the download's percentage only while hidden and
  // downloading, and a moving bar while it waits before.
  EXPECT_EQ(-1, m_core->GetTrayHelper().GetIconProgress());
  EXPECT_GE(m_core->GetTrayHelper().GetIconBusyPhase(), 0);
  m_core->OnDownloadBegin();
  m_core->OnDownloadProgress(30);
  EXPECT_EQ(30, m_core->GetTrayHelper().GetIconProgress());
  EXPECT_EQ(-1, m_core->GetTrayHelper().GetIconBusyPhase());
  m_core->OnDownloadDone(1);
  EXPECT_EQ(-1, m_core->GetTrayHelper().GetIconProgress());
  m_core->OnDownloadBegin();
  m_core->GetTrayHelper().BringOutOfTray();
  EXPECT_EQ(-1, m_core->GetTrayHelper().GetIconProgress());
}

// The figures of the window and the tray's tooltip: megabytes once the size
// is known, the time left only after a few seconds of rate and rounded, and a
// Retry's kept parts (arriving at once) taken for no rate at all.
TEST_F(UICoreTest, DownloadFiguresShowMegabytesAndASettledRoundedTimeLeft) {
  m_core->OnInstallBegin();
  m_core->OnDownloadBegin();
  m_core->OnDownloadProgress(1);
  EXPECT_EQ("1 %", m_core->GetProgressText());
  m_core->OnDownloadSize(26000000);
  for (int percent = 2; percent <= 50; ++percent) {  // one per cent a second
    m_clock.AdvanceMs(1000);
    m_core->OnDownloadProgress(percent);
    if (percent == 3) {
      EXPECT_EQ("3 %  \u00b7  0.8 of 26.0 MB", m_core->GetProgressText());
    }
    if (percent == 10) {
      EXPECT_EQ("10 %  \u00b7  2.6 of 26.0 MB  \u00b7  90 s left", m_core->GetProgressText());
    }
  }
  // Part reports that interleave (a step back and on again) add no rate.
  m_core->OnDownloadProgress(49);
  m_clock.AdvanceMs(10);
  m_core->OnDownloadProgress(50);
  EXPECT_EQ(
      "Ostrel Clipvane Installer\nDownloading Ostrel Clipvane\u2026 50 %  \u00b7  13.0 of 26.0 MB  \u00b7  50 s left",
      m_core->GetTrayHelper().GetTooltip());
  m_core->OnDownloadBegin();
  m_core->OnDownloadProgress(50);
  EXPECT_EQ("50 %  \u00b7  13.0 of 26.0 MB", m_core->GetProgressText());
  // In the person's language, decimal comma included.
  LCInstallerText::Load(KWPath(CLIPVANE_ASSET_DIR), "de");
  for (int percent = 51; percent <= 60; ++percent) {
    m_clock.AdvanceMs(1000);
    m_core->OnDownloadProgress(percent);
  }
  EXPECT_EQ("60 %  \u00b7  15,6 von 26,0 MB  \u00b7  noch 40 Sek.", m_core->GetProgressText());
}

// The time left comes from the whole download's bytes and holds when the
// rate changes (as at the end, when fewer parts run); a download that gets no
// byte for a few seconds says it waits for the network, and whether the
// connection check failed, instead of a time left.
TEST_F(UICoreTest, TheTimeLeftHoldsAndAQuietNetworkIsShownAsWaiting) {
  const uint64_t total = 10000000;
  m_core->OnInstallBegin();
  m_core->OnDownloadBegin();
  m_core->OnDownloadSize(total);
  uint64_t bytes = 0;
  std::vector<int> shown;  // one figure a second
  const auto flow = [&](int seconds, uint64_t perSecond) {
    for (int tick = 0; tick < seconds * 4; ++tick) {
      m_clock.AdvanceMs(250);
      bytes += perSecond / 4;
      m_core->OnDownloadBytes(bytes);
      EXPECT_TRUE(m_core->OnDownloadProgress(static_cast<int>(bytes * 100 / total)));
      const std::string text = m_core->GetProgressText();
      const size_t left = text.find(" s left");
      const size_t minutes = text.find(" min left");
      const size_t start = text.rfind(' ', std::min(left, minutes) - 1) + 1;
      if (tick % 4 == 3 && (left != std::string::npos || minutes != std::string::npos))
        shown.push_back(std::stoi(text.substr(start)) * (minutes != std::string::npos ? 60 : 1));
    }
  };
  flow(30, 100000);
  EXPECT_EQ("30 %  \u00b7  3.0 of 10.0 MB  \u00b7  70 s left", m_core->GetProgressText());
  flow(40, 40000);  // the rate falls to 40 %: the truth goes from 70 s to 175 s
  // Five seconds on, the figure is within half of what the earlier one said
  // (give or take its rounding: 5 s, or half a minute from 2 min on).
  for (size_t i = 0; i + 5 < shown.size(); ++i) {
    const double counted = std::max(5, shown[i] - 5);
    const double rounding = shown[i + 5] >= 120 ? 30 : 5;
    EXPECT_LE(shown[i + 5], 1.5 * counted + rounding) << "second " << i;
    EXPECT_GE(shown[i + 5], 0.5 * counted - rounding) << "second " << i;
  }
  EXPECT_NEAR(shown.back(), (total - bytes) / 40000.0, 20.0) << "it does follow, in time";
  EXPECT_EQ(LCInstallerUICore::kNetworkFlowing, m_core->GetNetworkWait());

  // No byte for four seconds: waiting, the time left gone.
  m_clock.AdvanceMs(3900);
  EXPECT_EQ(LCInstallerUICore::kNetworkFlowing, m_core->GetNetworkWait());
  m_clock.AdvanceMs(100);
  EXPECT_EQ(LCInstallerUICore::kNetworkWaiting, m_core->GetNetworkWait());
  EXPECT_EQ("Ostrel Clipvane Installer\nWaiting for the network\u2026 46 %  \u00b7  4.6 of 10.0 MB",
            m_core->GetTrayHelper().GetTooltip());
  // The stall's connection check fails: said too.
  m_detector.m_connected = false;
  m_clock.AdvanceMs(2000);
  EXPECT_FALSE(m_core->OnDownloadProgress(46));
  EXPECT_EQ(LCInstallerUICore::kNetworkDown, m_core->GetNetworkWait());
  EXPECT_EQ(
      "Ostrel Clipvane Installer\nNo connection \u2013 waiting for the network\u2026 46 %  \u00b7  4.6 of 10.0 MB",
      m_core->GetTrayHelper().GetTooltip());

  // Bytes again: flowing, and the rate is learnt afresh (the wait is no rate).
  m_detector.m_connected = true;
  shown.clear();
  flow(2, 100000);
  EXPECT_EQ(LCInstallerUICore::kNetworkFlowing, m_core->GetNetworkWait());
  EXPECT_TRUE(shown.empty());
  flow(3, 100000);
  EXPECT_EQ("51 %  \u00b7  5.1 of 10.0 MB  \u00b7  50 s left", m_core->GetProgressText());
}

TEST_F(UICoreTest, EachPercentageIsLoggedOncePerDownloadAndPingedAtMultiplesOfFive) {
  m_core->OnDownloadBegin();
  LogCapture log;
  PingLog::Get().Clear();
  for (int percent : {0, 3, 3, 5, 7, 10, 10, 99, 100, -1, 100}) m_core->OnDownloadProgress(percent);
  EXPECT_EQ((std::vector<std::string>{"Download progress: 0", "Download progress: 3", "Download progress: 5",
                                      "Download progress: 7", "Download progress: 10", "Download progress: 99"}),
            log.Lines());
  EXPECT_EQ(
      (std::vector<RecordedPing>{{"DownloadProgress", "0"}, {"DownloadProgress", "5"}, {"DownloadProgress", "10"}}),
      PingLog::Get().Pings());

  // A retried download reports every percentage again.
  m_core->OnDownloadBegin();
  m_core->OnDownloadProgress(5);
  m_core->OnDownloadProgress(7);
  EXPECT_EQ(2, PingLog::Get().Count("DownloadProgress", "5"));
  const std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "Download progress: 7"));
}

TEST_F(UICoreTest, ConcurrentPartThreadsLogEachPercentageExactlyOnce) {
  m_core->OnDownloadBegin();
  LogCapture log;
  PingLog::Get().Clear();
  std::vector<std::thread> parts;
  for (int t = 0; t < 6; ++t) {
    parts.emplace_back([this, t] {
      for (int round = 0; round < 3; ++round) {
        for (int percent = 0; percent <= 100; ++percent) m_core->OnDownloadProgress((percent + t * 7) % 101);
      }
    });
  }
  for (std::thread& part : parts) part.join();
  const std::vector<std::string> lines = log.Lines();
  for (int percent = 0; percent < 100; ++percent) {
    const std::string line = "Download progress: " + std::to_string(percent);
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), line)) << line;
  }
  EXPECT_EQ(100u, lines.size());
  EXPECT_EQ(20u, PingLog::Get().Pings().size());
}

TEST_F(UICoreTest, StalledDownloadStopsOnlyAfterFiveSecondsWithoutConnection) {
  m_core->OnDownloadBegin();
  EXPECT_TRUE(m_core->OnDownloadProgress(10));
  m_clock.AdvanceMs(5000);
  EXPECT_TRUE(m_core->OnDownloadProgress(10));
  EXPECT_EQ(0, m_detector.m_probes);  // exactly 5 s is not a stall

  m_clock.AdvanceMs(1000);
  EXPECT_TRUE(m_core->OnDownloadProgress(10));  // stalled, but the network is there
  EXPECT_EQ(1, m_detector.m_probes);
  // The other part threads' reports in the same stall window use that answer.
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(m_core->OnDownloadProgress(10));
  EXPECT_EQ(1, m_detector.m_probes);

  m_detector.m_connected = false;
  m_clock.AdvanceMs(6000);
  EXPECT_FALSE(m_core->OnDownloadProgress(10));
  EXPECT_EQ(2, m_detector.m_probes);
  EXPECT_FALSE(m_core->OnDownloadProgress(10)) << "every part stops while the network is gone";
  EXPECT_EQ(2, m_detector.m_probes);
  EXPECT_EQ(10, m_core->GetProgress());

  // Movement restarts the stall clock.
  EXPECT_TRUE(m_core->OnDownloadProgress(11));
  m_clock.AdvanceMs(3000);
  EXPECT_TRUE(m_core->OnDownloadProgress(11));
  EXPECT_EQ(2, m_detector.m_probes);
  EXPECT_EQ(11, m_core->GetProgress());
}

TEST_F(UICoreTest, StallIsMeasuredInWholeSeconds) {
  // Both time stamps come from the whole-second clock.
  m_clock.AdvanceMs(100);
  m_core->OnDownloadBegin();
  m_detector.m_connected = false;
  m_clock.AdvanceMs(5800);  // 5.8 s on the fine clock, 5 s on the second clock
  EXPECT_TRUE(m_core->OnDownloadProgress(0));
  m_clock.AdvanceMs(200);
  EXPECT_FALSE(m_core->OnDownloadProgress(0));
}

struct ErrorCase {
  int code;
  const char* text;
  bool retry;
};

std::string Suffix(int code) {
  return std::string("\n\nFor more help, please contact ") + kCLVSupportEmail + " with the error code " +
         std::to_string(code) + ".";
}

TEST_F(UICoreTest, EveryErrorCodeHasItsMessageRetryChoiceAndSuffix) {
  const std::vector<ErrorCase> cases = {
      {8, "A machine restart is pending. Please restart your machine and run the setup again.", false},
      {9, "This operating system is not supported.", false},
      {11, "Another instance of Ostrel Clipvane Installer is running. Please wait for it to finish.", false},
      {19, "Ostrel Clipvane is currently running. Please close the application and click retry.", true},
      {23, "Your system does not meet the minimum requirements to run Ostrel Clipvane.", false},
      {30,
       "There is not enough disk space on your computer to install Ostrel Clipvane. Please ensure atleast 5 GB free "
       "space and click retry.",
       true},
      {31,
       "There is not enough disk space on your computer to install Ostrel Clipvane. Please ensure atleast 5 GB free "
       "space and click retry.",
       true},
      {32, "Ostrel Clipvane is already installed on this system. Please uninstall the application and click retry.",
       true},
      {9000, "Unable to connect to the network. Please verify your internet connection settings and click retry.",
       true},
      {9001, "Unable to connect to the Ostrel server. Please verify your internet connection settings and click retry.",
       true},
      {9002, "Unable to download Ostrel Clipvane. Please verify your internet connection settings and click retry.",
       true},
      {9003, "Unable to install Ostrel Clipvane.", false},
      {9004, "Unable to install Ostrel Clipvane.", false},
      {7, "Setup encountered an error.", false},
      {9006, "Setup encountered an error.", false},
  };
  m_core->OnInstallBegin();
  bool disabledWhileAsked = false;
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    disabledWhileAsked = m_core->IsUIDisabled();
    return kLCInstallerMBResultRetry;
  });
  for (const ErrorCase& error : cases) {
    SCOPED_TRACE(error.code);
    LCInstallerUIHeadless::Reset();
    LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox& box) {
      disabledWhileAsked = m_core->IsUIDisabled();
      return box.m_type == kLCInstallerMBTypeRetryCancel ? kLCInstallerMBResultRetry : kLCInstallerMBResultOK;
    });
    PingLog::Get().Clear();
    LogCapture log;
    m_core->OnError(error.code);

    const std::vector<LCHeadlessMessageBox> boxes = LCInstallerUIHeadless::GetMessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Ostrel Clipvane Installer", boxes[0].m_title.GetUTF8String());
    EXPECT_EQ(std::string(error.text) + Suffix(error.code), boxes[0].m_message.GetUTF8String());
    EXPECT_EQ(error.retry ? kLCInstallerMBTypeRetryCancel : kLCInstallerMBTypeOK, boxes[0].m_type);
    EXPECT_EQ(kLCInstallerMBDefaultButton1, boxes[0].m_defaultButton);
    EXPECT_TRUE(disabledWhileAsked);
    EXPECT_FALSE(m_core->IsUIDisabled());
    EXPECT_EQ(error.retry, m_core->IsValidInstallAttempt());
    EXPECT_EQ(error.retry ? 0 : 1, LCInstallerUIHeadless::CountCalls("HideUI"));
    EXPECT_EQ((std::vector<RecordedPing>{{"AppMaximizeClick", ""}, {"LastError", std::to_string(error.code)}}),
              PingLog::Get().Pings());
    ASSERT_FALSE(log.Lines().empty());
    EXPECT_EQ(error.text, log.Lines()[0]);
  }
}

TEST_F(UICoreTest, LaunchpadErrorHasNoSuffixAndOnlyAnOKButton) {
  AnswerAll(kLCInstallerMBResultOK);
  m_core->OnError(9005);
  const std::vector<LCHeadlessMessageBox> boxes = LCInstallerUIHeadless::GetMessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Please launch Ostrel Clipvane from Launchpad.", boxes[0].m_message.GetUTF8String());
  EXPECT_EQ(kLCInstallerMBTypeOK, boxes[0].m_type);
  EXPECT_FALSE(m_core->IsValidInstallAttempt());
}

TEST_F(UICoreTest, ErrorBringsTheWindowBackFromTheMenuBar) {
  m_core->OnInstallBegin();
  ASSERT_TRUE(m_core->GetTrayHelper().IsInTray());
  m_core->OnError(9002);
  EXPECT_FALSE(m_core->GetTrayHelper().IsInTray());
  EXPECT_TRUE(LCInstallerUIHeadless::IsWindowVisible());
}

TEST_F(UICoreTest, RetryIsValidUntilTheProductHasLaunched) {
  AnswerAll(kLCInstallerMBResultRetry);
  m_core->OnInstallBegin();
  m_core->OnError(9002);
  EXPECT_TRUE(m_core->IsValidInstallAttempt());
  m_core->OnAppLaunchBegin();
  EXPECT_TRUE(m_core->IsValidInstallAttempt());
  m_core->OnAppLaunchDone();
  EXPECT_FALSE(m_core->IsValidInstallAttempt());

  AnswerAll(kLCInstallerMBResultCancel);
  m_core->OnError(9002);
  EXPECT_FALSE(m_core->IsValidInstallAttempt());
}

TEST_F(UICoreTest, ErrorAfterTheUserChoseToQuitAsksNothing) {
  m_core->OnExit();
  m_core->OnError(9002);
  EXPECT_TRUE(LCInstallerUIHeadless::GetMessageBoxes().empty());
  EXPECT_FALSE(m_core->IsValidInstallAttempt());
}

TEST_F(UICoreTest, AppCloseAnsweredNoChangesNothing) {
  m_core->OnInstallBegin();
  AnswerAll(kLCInstallerMBResultNo);
  const std::vector<std::string> callsBefore = LCInstallerUIHeadless::GetCalls();
  EXPECT_FALSE(m_core->OnAppClose());
  const std::vector<LCHeadlessMessageBox> boxes = LCInstallerUIHeadless::GetMessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Are you sure you want to cancel the installation?", boxes[0].m_message.GetUTF8String());
  EXPECT_EQ(kLCInstallerMBTypeYesNo, boxes[0].m_type);
  EXPECT_EQ(kLCInstallerMBDefaultButton2, boxes[0].m_defaultButton);
  EXPECT_EQ(kLCInstallerStateInstallBegun, m_core->GetState());
  EXPECT_FALSE(m_core->IsExitRequested());
  EXPECT_FALSE(m_core->IsUIDisabled());
  EXPECT_TRUE(m_core->GetTrayHelper().IsInTray());
  EXPECT_EQ(callsBefore, LCInstallerUIHeadless::GetCalls());
}

// The quit question asked while an error box is up: answering it must not
// take the mask away from the error box still waiting.
TEST_F(UICoreTest, StackedBoxesKeepTheMaskUntilTheLastCloses) {
  m_core->OnInstallBegin();
  std::vector<bool> disabledAfterInnerBox;
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox& box) {
    if (box.m_type == kLCInstallerMBTypeYesNo) return kLCInstallerMBResultNo;
    m_core->OnAppClose();
    disabledAfterInnerBox.push_back(m_core->IsUIDisabled());
    return kLCInstallerMBResultCancel;
  });
  m_core->OnError(9002);
  EXPECT_EQ(std::vector<bool>{true}, disabledAfterInnerBox);
  EXPECT_FALSE(m_core->IsUIDisabled());
}

TEST_F(UICoreTest, AppCloseAnsweredYesBeforeTheInstallClickReturnsAtOnce) {
  AnswerAll(kLCInstallerMBResultYes);
  EXPECT_TRUE(m_core->OnAppClose());
  EXPECT_TRUE(m_core->IsExitRequested());
  EXPECT_EQ(kLCInstallerStateWaitingForInstall, m_core->GetState());
  EXPECT_EQ((std::vector<std::string>{"HideUI", "OnPlatformExit", "BreakEventProcessingLoop"}),
            LCInstallerUIHeadless::GetCalls());
  // The loop that was running returns.
  RunLoop();
}

TEST_F(UICoreTest, AppCloseDuringAnInstallationWaitsForTheService) {
  m_core->OnInstallBegin();
  m_core->OnDownloadBegin();
  AnswerAll(kLCInstallerMBResultYes);
  // The service notices the exit flag and takes a while to wind down: an
  // OnAppClose that stopped waiting would return within that hold.
  std::thread service([&] {
    while (!m_core->IsExitRequested()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    m_core->OnInstallDone();
  });
  EXPECT_TRUE(m_core->OnAppClose());
  // Both are set inside OnInstallDone, before it signals.
  EXPECT_EQ(kLCInstallerStateInstallDone, m_core->GetState());
  EXPECT_EQ(1, PingLog::Get().Count("InstallExit", ""));
  EXPECT_FALSE(m_core->GetTrayHelper().IsInTray());  // never quits in menu-bar mode
  service.join();
}

TEST_F(UICoreTest, QuitWithoutTheDisplayStopsTheServiceAndGivesUpAtItsDeadline) {
  m_core->OnInstallBegin();
  m_core->OnDownloadBegin();
  // A service that does not end in time: the quit gives up rather than hang,
  // and asks nothing (there is no display to ask on).
  EXPECT_FALSE(m_core->QuitWithoutDisplay(50));
  EXPECT_TRUE(m_core->IsExitRequested());
  {
    // The display lost inside a call made under the lock, on the same
    // thread: the quit must not wait for a lock its own thread holds.
    KWLock held(m_core->GetInstallCompleteMutex());
    EXPECT_FALSE(m_core->QuitWithoutDisplay(50));
  }
  EXPECT_TRUE(LCInstallerUIHeadless::GetMessageBoxes().empty());
  std::thread service([&] { m_core->OnInstallDone(); });
  EXPECT_TRUE(m_core->QuitWithoutDisplay(60000));
  service.join();
  EXPECT_EQ(1, PingLog::Get().Count("InstallExit", ""));
}

TEST_F(UICoreTest, InstallDonePingsTheOutcome) {
  struct Case {
    bool exit;
    bool launched;
    const char* ping;
  };
  for (const Case& outcome : {Case{false, true, "InstallSuccess"}, Case{false, false, "InstallError"},
                              Case{true, true, "InstallExit"}, Case{true, false, "InstallExit"}}) {
    SCOPED_TRACE(outcome.ping);
    TearDown();
    SetUp();
    m_core->OnInstallBegin();
    if (outcome.launched) m_core->OnAppLaunchDone();
    if (outcome.exit) m_core->OnExit();
    PingLog::Get().Clear();
    LogCapture log;
    m_core->OnInstallDone();
    EXPECT_EQ(std::vector<std::string>{outcome.ping}, PingLog::Get().Names());
    EXPECT_EQ(std::vector<std::string>{"Install complete."}, log.Lines());
    EXPECT_EQ(kLCInstallerStateInstallDone, m_core->GetState());
    EXPECT_GE(LCInstallerUIHeadless::CountCalls("BreakEventProcessingLoop"), 1);
  }
}

TEST_F(UICoreTest, InstallDoneStopsTheFrameTimerAndTheLoop) {
  m_core->SetAssets(SyntheticAssets());
  m_core->OnInstallBegin();
  // The timer presents frames while the loop waits for the service, as the
  // busy animation moves on.
  std::thread service([&] {
    while (LCInstallerUIHeadless::GetPresentedFrameCount() < 2) {
      m_clock.AdvanceMs(100);
      std::this_thread::yield();
    }
    m_core->OnInstallDone();
  });
  RunLoop();
  service.join();
  const int frames = LCInstallerUIHeadless::GetPresentedFrameCount();
  m_clock.AdvanceMs(100);
  KWMainRunLoop::Get().RunPending();
  EXPECT_EQ(frames, LCInstallerUIHeadless::GetPresentedFrameCount());
}

TEST_F(UICoreTest, InstallNowClickEndsTheFirstLoopOnce) {
  std::thread clicker([&] { KWMainRunLoop::Get().Post([&] { m_core->OnMouseClick(kLCInstallerButtonInstallNow); }); });
  RunLoop();
  clicker.join();
  EXPECT_FALSE(m_core->IsWaitingOnInstallButtonClick());
  m_core->OnInstallNowButtonClick();
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls("BreakEventProcessingLoop"));
}

}  // namespace
