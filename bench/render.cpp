// Cost of one UI timer tick: RenderUI plus the copy of the frame the timer
// hands to the window, with the shipped pictures. The tick comes every 67 ms.
// The peer figure is a plain memcpy of one frame, the floor of any tick.
//
//   cmake --preset default -DCLIPVANE_BUILD_BENCH=ON && cmake --build build/default --target bench_render
//   build/default/bench/bench_render
#include <benchmark/benchmark.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <vector>

#include "LCInstallerUICore.h"
#include "LCInstallerUIHeadless.h"

namespace {

class FixedClock : public ILCInstallerUIClock {
 public:
  boost::posix_time::ptime SecondClockNow() override { return m_now; }
  boost::posix_time::ptime MicrosecondClockNow() override { return m_now; }
  boost::posix_time::ptime m_now = boost::posix_time::time_from_string("2024-03-01 12:00:00.250");
};

enum Scene { kWelcome, kDownloadingHalf, kDisabled };

void RenderTick(benchmark::State& state, Scene scene) {
  FixedClock clock;
  ILCInstallerUIClock::SetInstanceForTesting(&clock);
  LCInstallerUIHeadless::Reset();
  LCInstallerUIHeadless::SetAssetFolder(CLIPVANE_ASSET_DIR);
  {
    LCInstallerUICore core{LCInstallerUICoreInitParams()};
    core.CreateUI();
    bool disabled = false;
    if (scene == kDownloadingHalf) {
      core.OnInstallBegin();
      core.OnDownloadBegin();
      core.OnDownloadProgress(50);
    } else if (scene == kDisabled) {
      core.OnInstallBegin();
      core.OnDownloadBegin();
      core.OnDownloadProgress(50);
      disabled = true;
    }
    // The pointer moves on and off a control every tick, so that every
    // tick composes a whole frame rather than finding nothing changed.
    const bool welcome = scene == kWelcome;
    int step = 0;
    auto tick = [&] {
      for (auto _ : state) {
        const bool onControl = (step++ & 1) != 0;
        core.OnMouseMove(welcome ? (onControl ? 400 : 300) : (onControl ? 600 : 300), welcome ? 410 : 60);
        core.RenderUI();
        LCBGRAImage copy = core.GetRenderedUI();
        benchmark::DoNotOptimize(copy.GetData());
      }
    };
    if (disabled) {
      // The mask is drawn while a message box is up: measure from inside one.
      LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
        tick();
        return kLCInstallerMBResultNo;
      });
      core.OnAppClose();
    } else {
      tick();
    }
  }
  ILCInstallerUIClock::SetInstanceForTesting(nullptr);
  LCInstallerUIHeadless::Reset();
}

void BM_RenderWelcome(benchmark::State& state) { RenderTick(state, kWelcome); }
void BM_RenderDownloading50(benchmark::State& state) { RenderTick(state, kDownloadingHalf); }
void BM_RenderDisabledMask(benchmark::State& state) { RenderTick(state, kDisabled); }

// Peer: copying one 868 x 592 BGRA frame, what every tick does at least.
void BM_PeerFrameMemcpy(benchmark::State& state) {
  std::vector<unsigned char> from(868 * 592 * 4, 1), to(868 * 592 * 4);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
  }
}

BENCHMARK(BM_RenderWelcome)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RenderDownloading50)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RenderDisabledMask)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PeerFrameMemcpy)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
