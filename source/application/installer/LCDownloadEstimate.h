// LCDownloadEstimate: the download's figures as a person reads them, the
// percentage, the megabytes done of the total and, once the rate is known,
// the time left. The rate is an exponential moving average, and the time left
// is shown rounded, so that the figure settles instead of jumping with every
// burst of a part.
//
//   LCDownloadEstimate estimate;
//   estimate.Start(now);
//   estimate.SetTotalBytes(26000000);
//   estimate.Update(47, now + 10s);
//   estimate.GetText();   // "47 %  ·  12.2 of 26.0 MB  ·  15 s left"
//
// The words and the decimal point are the locale's (LCInstallerText's
// "progress.*" texts); the frame sets them from the locale's glyph strip,
// whose cells are GetCharacters().
//
// Not thread-safe: the owner locks around it. Time is passed in.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
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
  void Update(int percent, const boost::posix_time::ptime& now);

  // "47 %", with the megabytes when the size is known, and the time left
  // once the rate has been measured for a few seconds.
  std::string GetText() const;
  // Seconds left as shown (rounded), -1 while not known.
  int GetShownSecondsLeft() const;

 private:
  uint64_t BytesAt(int percent) const;

  uint64_t m_totalBytes = 0;
  int m_percent = 0;
  boost::posix_time::ptime m_start;
  // The furthest point the download reached, and when.
  boost::posix_time::ptime m_lastChange;
  uint64_t m_lastBytes = 0;
  double m_bytesPerSecond = 0;  // the moving average; 0 while settling
  int m_firstPercent = -1;      // the first report past the start, -1 before
  boost::posix_time::ptime m_firstReport;
};
