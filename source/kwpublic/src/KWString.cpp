#include "KWString.h"

#include <limits>

namespace {

// Bytes of the UTF-8 sequence starting at index, continuation bytes
// included; 0 when no whole, well-formed sequence starts there: an overlong
// form (C0 80 for U+0000), a surrogate (U+D800 to U+DFFF) or a code point
// above U+10FFFF is none, as RFC 3629 says.
size_t SequenceLength(const std::string& text, size_t index) {
  const unsigned char lead = static_cast<unsigned char>(text[index]);
  const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || index + length > text.size()) return 0;
  char32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[index + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

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

std::u32string KWString::GetCodePoints() const {
  std::u32string result;
  for (size_t i = 0; i < m_text.size();) {
    const size_t length = SequenceLength(m_text, i);
    if (length == 0) {
      result.push_back(0xFFFD);
      ++i;
      continue;
    }
    const unsigned char lead = static_cast<unsigned char>(m_text[i]);
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(m_text[i + k]) & 0x3F);
    result.push_back(code);
    i += length;
  }
  return result;
}

bool KWString::IsValidUTF8() const {
  for (size_t i = 0; i < m_text.size();) {
    const size_t length = SequenceLength(m_text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}
