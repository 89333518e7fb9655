// Shared set-up of the UI core suites: a clock the test sets, the pings the
// core queued, a connection detector the test answers, and synthetic
// pictures whose pixels tell where they came from.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <mutex>
#include <string>
#include <vector>

#include "KWInternet.h"
#include "KWMainRunLoop.h"
#include "LCInstallerAnalytics.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "LCInstallerUIHeadless.h"
#include "TestUtil.h"

class ManualUIClock : public ILCInstallerUIClock {
 public:
  ManualUIClock() : m_now(boost::posix_time::time_from_string("2024-03-01 12:00:00.000")) {}
  boost::posix_time::ptime SecondClockNow() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Whole seconds, as the second clock gives them.
    return m_now - boost::posix_time::microseconds(m_now.time_of_day().fractional_seconds());
  }
  boost::posix_time::ptime MicrosecondClockNow() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_now;
  }
  void AdvanceMs(long milliseconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_now += boost::posix_time::milliseconds(milliseconds);
  }

 private:
  std::mutex m_mutex;
  boost::posix_time::ptime m_now;
};

class ScriptedConnectionDetector : public IKWInternetConnectionDetector {
 public:
  void SetURLToConnect(const KWString&) override {}
  bool IsConnectedToInternet() override {
    ++m_probes;
    return m_connected;
  }
  std::atomic<bool> m_connected{true};
  std::atomic<int> m_probes{0};
};

struct RecordedPing {
  std::string name;
  std::string value;
  bool operator==(const RecordedPing& other) const { return name == other.name && value == other.value; }
};

inline std::ostream& operator<<(std::ostream& out, const RecordedPing& ping) {
  return out << ping.name << "(" << ping.value << ")";
}

class PingLog {
 public:
  static PingLog& Get() {
    static PingLog log;
    return log;
  }
  static void Observe(const LCInstallerTTOPingData& ping) {
    std::lock_guard<std::mutex> lock(Get().m_mutex);
    Get().m_pings.push_back(RecordedPing{ping.m_name.GetUTF8String(), ping.m_value.GetUTF8String()});
  }
  std::vector<RecordedPing> Pings() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pings;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const RecordedPing& ping : Pings()) names.push_back(ping.name);
    return names;
  }
  int Count(const std::string& name, const std::string& value) {
    int count = 0;
    for (const RecordedPing& ping : Pings()) count += ping.name == name && ping.value == value;
    return count;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pings.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<RecordedPing> m_pings;
};

// A w x h image of one colour.
inline LCBGRAImage SolidImage(unsigned int width, unsigned int height, unsigned char r, unsigned char g,
                              unsigned char b, unsigned char a = 255) {
  LCBGRAImage image;
  image.Allocate(width, height);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
    unsigned char* pixel = image.GetData() + i * 4;
    pixel[0] = r;
    pixel[1] = g;
    pixel[2] = b;
    pixel[3] = a;
  }
  return image;
}

struct Pixel {
  unsigned char r, g, b, a;
  bool operator==(const Pixel& other) const { return r == other.r && g == other.g && b == other.b && a == other.a; }
};

inline std::ostream& operator<<(std::ostream& out, const Pixel& p) {
  return out << "(" << int(p.r) << "," << int(p.g) << "," << int(p.b) << "," << int(p.a) << ")";
}

inline Pixel PixelAt(const LCBGRAImage& image, unsigned int x, unsigned int y) {
  const unsigned char* p = image.GetData() + (static_cast<size_t>(y) * image.GetWidth() + x) * 4;
  return Pixel{p[0], p[1], p[2], p[3]};
}

// Every picture opaque and of its own colour, red channel naming the kind.
inline LCUIAssets SyntheticAssets() {
  LCUIAssets assets;
  for (unsigned char i = 0; i < 8; ++i) assets.m_slides.emplace_back(SolidImage(868, 592, 10, 10 + i, 0));
  assets.m_progressBar = SolidImage(301, 10, 20, 0, 0);
  assets.m_progressBarBackground = SolidImage(301, 10, 30, 0, 0);
  for (unsigned char i = 0; i < 10; ++i) assets.m_progressAnimation.push_back(SolidImage(301, 10, 40, i, 0));
  for (unsigned char i = 0; i < 5; ++i) assets.m_stateTexts.push_back(SolidImage(200, 12, 50, i, 0));
  for (unsigned char i = 0; i < 3; ++i) {
    assets.m_closeImages.push_back(SolidImage(15, 15, 60, i, 0));
    assets.m_appCloseImages.push_back(SolidImage(15, 15, 70, i, 0));
    assets.m_appMinimizeImages.push_back(SolidImage(15, 15, 80, i, 0));
  }
  assets.m_installNowHover = SolidImage(139, 36, 90, 0, 0);
  assets.m_installNowClick = SolidImage(139, 36, 90, 1, 0);
  assets.m_eulaHover.m_image = SolidImage(119, 12, 100, 0, 0);
  assets.m_eulaHover.m_left = 434;
  assets.m_eulaHover.m_top = 454;
  assets.m_dotHover = SolidImage(7, 7, 110, 0, 0);
  assets.m_disabledMask = LCEncodedImage(SolidImage(868, 592, 0, 0, 0, 128));
  return assets;
}

// A core on the headless layer with the window created (state 1), the clock,
// pings and connection detector under the test's control.
class UICoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LCInstallerUIHeadless::Reset();
    LCInstallerUIHeadless::SetAssetFolder(m_emptyAssets.Path().c_str());
    ILCInstallerUIClock::SetInstanceForTesting(&m_clock);
    IKWInternetConnectionDetector::SetInstanceForTesting(&m_detector);
    PingLog::Get().Clear();
    LCInstallerAnalytics::SetPingObserverForTesting(&PingLog::Observe);
    m_core.reset(new LCInstallerUICore(LCInstallerUICoreInitParams()));
    m_core->CreateUI();
    m_runsDone = 0;
  }

  void TearDown() override {
    m_core.reset();
    // Every loop break the test did not run out would end a later test's loop at once.
    const int pending = LCInstallerUIHeadless::CountCalls("BreakEventProcessingLoop") - m_runsDone;
    for (int i = 0; i < pending; ++i) KWMainRunLoop::Get().Run();
    LCInstallerAnalytics::SetPingObserverForTesting(nullptr);
    IKWInternetConnectionDetector::SetInstanceForTesting(nullptr);
    ILCInstallerUIClock::SetInstanceForTesting(nullptr);
    LCInstallerUIHeadless::Reset();
    LCInstallerText::Reset();
  }

  void RunLoop() {
    m_core->RunEventLoop(m_core->IsWaitingOnInstallButtonClick());
    ++m_runsDone;
  }

  void AnswerAll(LCInstallerMBResult answer) {
    LCInstallerUIHeadless::SetMessageBoxScript([answer](const LCHeadlessMessageBox&) { return answer; });
  }

  ScopedTempDir m_emptyAssets;
  ManualUIClock m_clock;
  ScriptedConnectionDetector m_detector;
  std::unique_ptr<LCInstallerUICore> m_core;
  int m_runsDone = 0;
};
