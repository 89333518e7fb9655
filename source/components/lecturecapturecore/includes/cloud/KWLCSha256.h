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

 private:
  struct State;
  State* m_state;
};
