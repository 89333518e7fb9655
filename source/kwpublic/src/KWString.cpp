#include "KWString.h"

#include <limits>

KWString& KWString::Append(const KWString& text) {
  m_text += text.m_text;
  return *this;
}

KWString& KWString::AppendNumber(long long value) {
  m_text += std::to_string(value);
  return *this;
}

KWString& KWString::AppendUInt64(unsigned long long value) {
  m_text += std::to_string(value);
  return *this;
}

unsigned long long KWString::GetUInt64Value() const {
  const unsigned long long limit = std::numeric_limits<unsigned long long>::max();
  unsigned long long value = 0;
  for (char c : m_text) {
    if (c < '0' || c > '9') break;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (limit - digit) / 10) return limit;
    value = value * 10 + digit;
  }
  return value;
}

KWString KWString::substr(size_t position, size_t count) const {
  if (position >= m_text.size()) return KWString();
  return KWString(m_text.substr(position, count));
}

bool KWString::StartsWith(const KWString& prefix) const {
  return m_text.compare(0, prefix.m_text.size(), prefix.m_text) == 0;
}

bool KWString::EndsWith(const KWString& suffix) const {
  return m_text.size() >= suffix.m_text.size() &&
         m_text.compare(m_text.size() - suffix.m_text.size(), suffix.m_text.size(), suffix.m_text) == 0;
}

std::vector<KWString> KWString::Split(const KWString& separator) const {
  std::vector<KWString> pieces;
  if (separator.empty()) {
    pieces.push_back(*this);
    return pieces;
  }
  size_t start = 0;
  for (;;) {
    const size_t found = m_text.find(separator.m_text, start);
    if (found == std::string::npos) break;
    pieces.emplace_back(m_text.substr(start, found - start));
    start = found + separator.m_text.size();
  }
  pieces.emplace_back(m_text.substr(start));
  return pieces;
}
