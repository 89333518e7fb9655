// KWLCSha256: a SHA-256 digest fed in pieces, for data that arrives over time.
//
//   KWLCSha256 hash;
//   hash.Update(block, size);  // as often as needed, in order
//   std::string hex = hash.FinalHex();
#pragma once

#include <cstddef>
#include <string>

class KWLCSha256 {
 public:
  KWLCSha256();
  ~KWLCSha256();
  KWLCSha256(const KWLCSha256&) = delete;
  KWLCSha256& operator=(const KWLCSha256&) = delete;

  void Update(const void* data, size_t size);
  // Lower-case hex of everything fed so far; the object then starts over.
  std::string FinalHex();
  // Starts over, dropping what was fed.
  void Reset();

  // True when text is a SHA-256 in hex: exactly 64 digits, either case
  // (servers and tools differ). Sets lowerHex to the lower-case form, the one
  // FinalHex gives, so digests compare as plain strings; leaves it alone
  // otherwise.
  static bool ParseHex(const std::string& text, std::string& lowerHex) {
    if (text.size() != 64) return false;
    std::string lower(text);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    lowerHex = lower;
    return true;
  }

 private:
  struct State;
  State* m_state;
};
