#include "LCDownloadEstimate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "KWString.h"
#include "LCInstallerText.h"
#include "LCInstallerUIClock.h"

namespace {

// The average forgets a rate within about this many seconds.
const double kRateTimeConstantSeconds = 8.0;
// The rate is measured this long before any time left is shown.
const int64_t kSettleMilliseconds = 3000;

const char* const kFigureTexts[] = {"progress.percent", "progress.size", "progress.minutes_left",
                                    "progress.seconds_left"};

std::string Text(const char* key, const LCInstallerText::Values& values) {
  return LCInstallerText::Format(key, values).GetUTF8String();
}

// One decimal below 100 MB, in the locale's way ("12.2", "12,2").
std::string Megabytes(uint64_t bytes) {
  char text[32];
  const double megabytes = static_cast<double>(bytes) / 1e6;
  std::snprintf(text, sizeof(text), megabytes < 100 ? "%.1f" : "%.0f", megabytes);
  std::string result = text;
  const size_t point = result.find('.');
  if (point != std::string::npos)
    result.replace(point, 1, LCInstallerText::Get("progress.decimal_point").GetUTF8String());
  return result;
}

}  // namespace

const char* const LCDownloadEstimate::kSeparator = "  \u00b7  ";

std::u32string LCDownloadEstimate::GetCharacters() {
  std::string all =
      std::string("0123456789") + kSeparator + LCInstallerText::Get("progress.decimal_point").GetUTF8String();
  for (const char* key : kFigureTexts) {
    // The words without their placeholders.
    const std::string text = LCInstallerText::Get(key).GetUTF8String();
    size_t position = 0;
    while (position < text.size()) {
      const size_t open = text.find('{', position);
      all.append(text, position, open == std::string::npos ? std::string::npos : open - position);
      const size_t close = open == std::string::npos ? std::string::npos : text.find('}', open);
      position = close == std::string::npos ? text.size() : close + 1;
    }
  }
  std::u32string characters = KWString(all).GetCodePoints();
  std::sort(characters.begin(), characters.end());
  characters.erase(std::unique(characters.begin(), characters.end()), characters.end());
  return characters;
}

void LCDownloadEstimate::Start(const boost::posix_time::ptime& now) {
  m_percent = 0;
  m_start = now;
  m_lastChange = now;
  m_lastBytes = 0;
  m_bytesPerSecond = 0;
  m_firstPercent = -1;
}

uint64_t LCDownloadEstimate::BytesAt(int percent) const {
  return m_totalBytes / 100 * static_cast<uint64_t>(percent) +
         m_totalBytes % 100 * static_cast<uint64_t>(percent) / 100;
}

void LCDownloadEstimate::SetTotalBytes(uint64_t totalBytes) {
  if (totalBytes == m_totalBytes) return;
  // The bytes counted so far were counted against another size (none).
  m_totalBytes = totalBytes;
  m_lastBytes = BytesAt(m_percent);
}

void LCDownloadEstimate::Update(int percent, const boost::posix_time::ptime& now) {
  percent = std::max(0, std::min(100, percent));
  if (percent == m_percent) return;
  m_percent = percent;
  // The rate counts only bytes past the furthest point reached: the parts'
  // reports interleave, and a percentage that steps back and forth again
  // would otherwise count the same bytes twice, in no time.
  const uint64_t bytes = BytesAt(percent);
  if (bytes <= m_lastBytes) return;
  // The first report comes after a burst (the network's buffers filling, a
  // Retry's kept parts) that says nothing of the rate: the average is first
  // taken from there, over the settling time, and moves on from that.
  if (m_firstPercent < 0) {
    m_firstPercent = percent;
    m_firstReport = now;
  }
  const int64_t elapsedMs = LCMillisecondsBetween(m_lastChange, now);
  const int64_t sinceFirstMs = LCMillisecondsBetween(m_firstReport, now);
  if (m_bytesPerSecond == 0 && sinceFirstMs >= kSettleMilliseconds) {
    m_bytesPerSecond =
        static_cast<double>(bytes - BytesAt(m_firstPercent)) * 1000.0 / static_cast<double>(sinceFirstMs);
  } else if (m_bytesPerSecond > 0 && elapsedMs > 0) {
    const double seconds = static_cast<double>(elapsedMs) / 1000.0;
    const double sample = static_cast<double>(bytes - m_lastBytes) / seconds;
    const double weight = 1.0 - std::exp(-seconds / kRateTimeConstantSeconds);
    m_bytesPerSecond += weight * (sample - m_bytesPerSecond);
  }
  m_lastBytes = bytes;
  m_lastChange = now;
}

int LCDownloadEstimate::GetShownSecondsLeft() const {
  if (m_totalBytes == 0 || m_bytesPerSecond <= 0 || m_percent >= 100) return -1;
  const double seconds = static_cast<double>(m_totalBytes - m_lastBytes) / m_bytesPerSecond;
  // Whole minutes from a minute and a half on, else steps of five seconds;
  // rounded up, so that the last figure is never "0 s".
  if (seconds >= 90) return static_cast<int>(std::ceil(seconds / 60.0)) * 60;
  return std::max(5, static_cast<int>(std::ceil(seconds / 5.0)) * 5);
}

std::string LCDownloadEstimate::GetText() const {
  std::string text = Text("progress.percent", {{"percent", std::to_string(m_percent)}});
  if (m_totalBytes == 0) return text;
  const int left = GetShownSecondsLeft();
  text +=
      kSeparator + Text("progress.size", {{"done", Megabytes(BytesAt(m_percent))}, {"total", Megabytes(m_totalBytes)}});
  if (left >= 90) {
    text += kSeparator + Text("progress.minutes_left", {{"minutes", std::to_string(left / 60)}});
  } else if (left > 0) {
    text += kSeparator + Text("progress.seconds_left", {{"seconds", std::to_string(left)}});
  }
  return text;
}
