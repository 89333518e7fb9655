// clv_download [--part-bytes N] [--time-left-log FILE] URL FILE [SHA256]:
// downloads URL into FILE with the multipart downloader and its default
// parameters (10 MiB parts, 16 handles), as the installer does, checking the
// digest when one is given. For bench/download and bench/links; exits 0 on
// success.
//   --part-bytes N        parts of N bytes instead of 10 MiB
//   --time-left-log FILE  once a second, "seconds-since-start percent
//                         shown-seconds-left" (-1 while none is shown), as the
//                         installer's window would show it from the reports
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "IKWLCCurlProgressCallback.h"
#include "KWException.h"
#include "KWLCCloudStructs.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLCCurlMultipartFileDownloader.h"
#include "LCDownloadEstimate.h"

namespace {
class PrintingHandler : public IKWCustomExceptionHandler {
 public:
  void OnCustomException(const KWLCException& exception) override {
    fprintf(stderr, "clv_download: %s\n", exception.what());
  }
  void OnCustomException() override { fprintf(stderr, "clv_download: unknown exception\n"); }
};

boost::posix_time::ptime Now() { return boost::posix_time::microsec_clock::universal_time(); }

// What the window's figures would say: the reports go to the estimate as
// they come, from every part thread.
class TimeLeftRecorder : public IKWLCCurlProgressCallback {
 public:
  TimeLeftRecorder(const KWLCCurlMultipartFileDownloader& downloader, FILE* log)
      : m_downloader(downloader), m_log(log), m_start(Now()) {
    m_estimate.Start(m_start);
    m_sampler = std::thread([this] { Sample(); });
  }
  ~TimeLeftRecorder() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_wake.notify_all();
    m_sampler.join();
  }
  bool OnProgress(const void*, const int& percent) const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_estimate.SetTotalBytes(m_downloader.GetFileSizeBytes());
    m_estimate.Update(percent, Now());
    m_percent = percent;
    return true;
  }

 private:
  void Sample() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (int second = 1;
         !m_wake.wait_until(lock, m_steadyStart + std::chrono::seconds(second), [this] { return m_done; }); ++second) {
      const boost::posix_time::ptime now = Now();
      fprintf(m_log, "%.3f %d %d\n", static_cast<double>((now - m_start).total_milliseconds()) / 1000.0, m_percent,
              m_estimate.GetShownSecondsLeft(now));
      fflush(m_log);
    }
  }

  const KWLCCurlMultipartFileDownloader& m_downloader;
  FILE* m_log;
  const boost::posix_time::ptime m_start;
  const std::chrono::steady_clock::time_point m_steadyStart = std::chrono::steady_clock::now();
  mutable std::mutex m_mutex;
  mutable LCDownloadEstimate m_estimate;  // guarded by m_mutex
  mutable int m_percent = 0;              // guarded by m_mutex
  bool m_done = false;                    // guarded by m_mutex
  std::condition_variable m_wake;
  std::thread m_sampler;
};
}  // namespace

int main(int argc, char** argv) {
  uint64_t partBytes = 0;
  const char* timeLeftLog = nullptr;
  int first = 1;
  while (first + 1 < argc && strncmp(argv[first], "--", 2) == 0) {
    if (strcmp(argv[first], "--part-bytes") == 0) {
      partBytes = strtoull(argv[first + 1], nullptr, 10);
    } else if (strcmp(argv[first], "--time-left-log") == 0) {
      timeLeftLog = argv[first + 1];
    } else {
      break;
    }
    first += 2;
  }
  if (argc - first != 2 && argc - first != 3) {
    fprintf(stderr, "usage: clv_download [--part-bytes N] [--time-left-log FILE] URL FILE [SHA256]\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_ALL);
  KWLCCloudParams params;
  params.m_useHTTPS = false;  // as the installer's download record
  if (partBytes != 0) params.m_downloadPartSizeBytes = partBytes;
  KWAbortFlag abortFlag(false);
  PrintingHandler handler;
  KWLCCurlFileDownloader::Initialize(params);
  KWLCCurlMultipartFileDownloader::Initialize();
  KWLCCurlMultipartFileDownloader downloader(params, handler, abortFlag, KWFile(argv[first + 1]),
                                             KWString(argv[first]));
  if (argc - first == 3) downloader.SetExpectedSHA256(KWString(argv[first + 2]));
  bool done;
  if (timeLeftLog != nullptr) {
    FILE* log = fopen(timeLeftLog, "w");
    if (log == nullptr) {
      perror(timeLeftLog);
      return 2;
    }
    {
      TimeLeftRecorder recorder(downloader, log);
      downloader.SetProgressCallback(&recorder);
      done = downloader.DownloadFile();
      downloader.SetProgressCallback(nullptr);
    }
    fclose(log);
  } else {
    done = downloader.DownloadFile();
  }
  if (!done) fprintf(stderr, "clv_download: download failed\n");
  return done ? 0 : 1;
}
