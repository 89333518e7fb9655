#include "LCDownloadEstimate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "KWString.h"
#include "LCInstallerText.h"
#include "LCInstallerUIClock.h"

namespace {

// The rate is measured this long before any time left is shown.
const int64_t kSettleMilliseconds = 3000;
// How fast the figure shown may follow a new estimate, beyond counting down:
// by this share a second, so that in five seconds it moves by about a third.
const double kFollowPerSecond = 0.06;

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
  m_haveBytes = false;
  m_bytes = 0;
  m_start = now;
  m_lastArrival = now;
  m_window.clear();
  m_shownSeconds = -1;
}

uint64_t LCDownloadEstimate::BytesAt(int percent) const {
  return m_totalBytes / 100 * static_cast<uint64_t>(percent) +
         m_totalBytes % 100 * static_cast<uint64_t>(percent) / 100;
}

void LCDownloadEstimate::SetTotalBytes(uint64_t totalBytes) {
  if (totalBytes == m_totalBytes) return;
  // Bytes taken from the percentage were counted against another size (none).
  m_totalBytes = totalBytes;
  if (!m_haveBytes) {
    m_bytes = BytesAt(m_percent);
    m_window.clear();
    m_shownSeconds = -1;
  }
}

void LCDownloadEstimate::Update(int percent, const boost::posix_time::ptime& now) {
  m_percent = std::max(0, std::min(100, percent));
  if (!m_haveBytes) Arrived(BytesAt(m_percent), now);
}

void LCDownloadEstimate::UpdateBytes(uint64_t bytes, const boost::posix_time::ptime& now) {
  if (!m_haveBytes) {
    // From now on the bytes, not the percentage, say what arrived.
    m_haveBytes = true;
    m_bytes = 0;
    m_window.clear();
    m_shownSeconds = -1;
  }
  Arrived(bytes, now);
}

void LCDownloadEstimate::Arrived(uint64_t bytes, const boost::posix_time::ptime& now) {
  // Only bytes past the furthest point count: the parts' reports interleave,
  // and a figure that steps back and on again would count bytes twice.
  if (bytes <= m_bytes) return;
  const bool waited = IsWaiting(now);
  m_bytes = bytes;
  m_lastArrival = now;
  if (m_window.empty() || waited) {
    m_window.assign(1, Sample{now, m_bytes});
    m_shownSeconds = -1;
    return;
  }
  m_window.push_back(Sample{now, m_bytes});
  const boost::posix_time::ptime windowStart = now - boost::posix_time::seconds(kWindowSeconds);
  while (m_window.size() > 2 && m_window[1].time <= windowStart) m_window.pop_front();

  const double estimate = SecondsLeft(now);
  if (estimate < 0) return;
  if (m_shownSeconds < 0) {
    m_shownSeconds = estimate;
  } else {
    const double seconds = static_cast<double>(LCMillisecondsBetween(m_shownAt, now)) / 1000.0;
    const double counted = std::max(0.0, m_shownSeconds - seconds);
    const double reach = std::exp(kFollowPerSecond * seconds);
    m_shownSeconds = std::max(counted / reach, std::min(counted * reach, estimate));
  }
  m_shownAt = now;
}

double LCDownloadEstimate::SecondsLeft(const boost::posix_time::ptime& now) const {
  if (m_totalBytes == 0 || m_window.size() < 2) return -1;
  const Sample& first = m_window.front();
  const int64_t spanMs = LCMillisecondsBetween(first.time, now);
  if (spanMs < kSettleMilliseconds || m_bytes <= first.bytes) return -1;
  const double rate = static_cast<double>(m_bytes - first.bytes) * 1000.0 / static_cast<double>(spanMs);
  return static_cast<double>(m_totalBytes > m_bytes ? m_totalBytes - m_bytes : 0) / rate;
}

bool LCDownloadEstimate::IsWaiting(const boost::posix_time::ptime& now) const {
  return m_haveBytes && LCMillisecondsBetween(m_lastArrival, now) >= kWaitingMilliseconds;
}

int LCDownloadEstimate::GetShownSecondsLeft(const boost::posix_time::ptime& now) const {
  if (m_shownSeconds < 0 || m_percent >= 100 || IsWaiting(now)) return -1;
  const double seconds =
      std::max(0.0, m_shownSeconds - static_cast<double>(LCMillisecondsBetween(m_shownAt, now)) / 1000.0);
  // The nearest whole minute from two minutes on, else steps of five
  // seconds rounded up, so that the last figure is never "0 s" and the
  // change to minutes is no jump.
  if (seconds >= 120) return static_cast<int>(std::lround(seconds / 60.0)) * 60;
  return std::max(5, static_cast<int>(std::ceil(seconds / 5.0)) * 5);
}

std::string LCDownloadEstimate::GetText(const boost::posix_time::ptime& now) const {
  std::string text = Text("progress.percent", {{"percent", std::to_string(m_percent)}});
  if (m_totalBytes == 0) return text;
  const int left = GetShownSecondsLeft(now);
  text +=
      kSeparator + Text("progress.size", {{"done", Megabytes(BytesAt(m_percent))}, {"total", Megabytes(m_totalBytes)}});
  if (left >= 120) {
    text += kSeparator + Text("progress.minutes_left", {{"minutes", std::to_string(left / 60)}});
  } else if (left > 0) {
    text += kSeparator + Text("progress.seconds_left", {{"seconds", std::to_string(left)}});
  }
  return text;
}
