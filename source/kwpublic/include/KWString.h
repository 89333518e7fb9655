// KWString: UTF-8 text with value semantics.
//
//   KWString name("part");
//   name.AppendNumber(3);             // "part3"
//   name.GetUInt64Value();            // 0: the text does not start with a digit
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class KWString {
 public:
  static constexpr size_t npos = std::string::npos;

  KWString() = default;
  KWString(const char* text) : m_text(text ? text : "") {}  // NOLINT: implicit by design
  KWString(const char* text, size_t length) : m_text(text, length) {}
  KWString(const std::string& text) : m_text(text) {}        // NOLINT
  KWString(std::string&& text) : m_text(std::move(text)) {}  // NOLINT

  const std::string& GetUTF8String() const { return m_text; }
  const char* c_str() const { return m_text.c_str(); }
  size_t size() const { return m_text.size(); }
  size_t length() const { return m_text.size(); }
  bool empty() const { return m_text.empty(); }
  bool IsEmpty() const { return m_text.empty(); }
  char operator[](size_t index) const { return m_text[index]; }

  KWString& Append(const KWString& text);
  KWString& AppendNumber(long long value);
  KWString& AppendUInt64(unsigned long long value);

  // Decimal value of the leading digits; 0 for empty text or text that does
  // not start with a digit. Stops at the first non-digit, saturates on overflow.
  unsigned long long GetUInt64Value() const;

  size_t find_first_of(const KWString& characters, size_t position = 0) const {
    return m_text.find_first_of(characters.m_text, position);
  }
  size_t find(const KWString& text, size_t position = 0) const { return m_text.find(text.m_text, position); }
  KWString substr(size_t position, size_t count = npos) const;
  bool StartsWith(const KWString& prefix) const;
  bool EndsWith(const KWString& suffix) const;

  // The code points of the text; a byte that does not begin a whole UTF-8
  // sequence becomes U+FFFD.
  std::u32string GetCodePoints() const;
  // Whole, well-formed UTF-8 (text read from a file may be in another encoding).
  bool IsValidUTF8() const;

  // Splits at every occurrence of the separator; n separators give n + 1 pieces.
  std::vector<KWString> Split(const KWString& separator) const;

  KWString& operator+=(const KWString& text) { return Append(text); }
  friend KWString operator+(KWString left, const KWString& right) { return left.Append(right); }
  friend bool operator==(const KWString& a, const KWString& b) { return a.m_text == b.m_text; }
  friend bool operator!=(const KWString& a, const KWString& b) { return a.m_text != b.m_text; }
  friend bool operator<(const KWString& a, const KWString& b) { return a.m_text < b.m_text; }

 private:
  std::string m_text;
};
