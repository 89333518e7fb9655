// LCDownloadEstimate: the download's figures as a person reads them, the
// percentage, the megabytes done of the total and, once the rate is known,
// the time left; and whether the download is waiting for the network.
//
// The time left comes from the bytes left and the whole download's rate over
// the last kWindowSeconds (every part together, so a part that ends or
// stalls moves it only as much as it moves the download). The figure shown
// counts down between reports and follows a new estimate only a few per cent
// a second, so the next seconds never contradict it by half; it is rounded.
// While no byte has arrived for a few seconds there is no time left, only the
// waiting; when bytes come again the rate is learnt afresh.
//
//   LCDownloadEstimate estimate;
//   estimate.Start(now);
//   estimate.SetTotalBytes(26000000);
//   estimate.UpdateBytes(12220000, now + 10s);
//   estimate.Update(47, now + 10s);
//   estimate.GetText(now + 10s);   // "47 %  ·  12.2 of 26.0 MB  ·  15 s left"
//
// The words and the decimal point are the locale's (LCInstallerText's
// "progress.*" texts); the frame sets them from the locale's glyph strip,
// whose cells are GetCharacters().
//
// Not thread-safe: the owner locks around it. Time is passed in.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <deque>
#include <string>

class LCDownloadEstimate {
 public:
  // Between the percentage, the megabytes and the time left.
  static const char* const kSeparator;
  // Every character GetText can give in the locale loaded, each once, in
  // code-point order: the cells of the locale's progress_glyphs.png.
  static std::u32string GetCharacters();

  // A new download stage (also a Retry's): the rate is learnt again.
  void Start(const boost::posix_time::ptime& now);
  // 0 while the size is not known: the text then has the percentage only.
  void SetTotalBytes(uint64_t totalBytes);
  // The percentage shown. Until bytes are reported the rate is taken from it.
  void Update(int percent, const boost::posix_time::ptime& now);
  // The image's bytes that have arrived, all parts together.
  void UpdateBytes(uint64_t bytes, const boost::posix_time::ptime& now);

  // True while bytes are reported and none has arrived for the last
  // kWaitingMilliseconds (from the start too, before the first).
  bool IsWaiting(const boost::posix_time::ptime& now) const;
  // "47 %", with the megabytes when the size is known, and the time left
  // once the rate has been measured for a few seconds and bytes arrive.
  std::string GetText(const boost::posix_time::ptime& now) const;
  // Seconds left as shown (rounded), -1 while not known.
  int GetShownSecondsLeft(const boost::posix_time::ptime& now) const;

  static constexpr int64_t kWaitingMilliseconds = 4000;
  static constexpr int kWindowSeconds = 20;

 private:
  uint64_t BytesAt(int percent) const;
  void Arrived(uint64_t bytes, const boost::posix_time::ptime& now);
  // The time left the latest reports give, before rounding; -1 while unknown.
  double SecondsLeft(const boost::posix_time::ptime& now) const;

  struct Sample {
    boost::posix_time::ptime time;
    uint64_t bytes;
  };

  uint64_t m_totalBytes = 0;
  int m_percent = 0;
  bool m_haveBytes = false;  // bytes reported in this download
  uint64_t m_bytes = 0;      // the furthest point reached
  boost::posix_time::ptime m_start;
  boost::posix_time::ptime m_lastArrival;
  // The reports of the rate's window, oldest first; the first of a stretch
  // (the start, the end of a wait) is only where it is measured from, since
  // it follows a burst (the network's buffers, a Retry's kept parts).
  std::deque<Sample> m_window;
  double m_shownSeconds = -1;  // the time left as last estimated, unrounded
  boost::posix_time::ptime m_shownAt;
};
