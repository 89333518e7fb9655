#include <CommonCrypto/CommonDigest.h>

#include "KWLCSha256.h"

struct KWLCSha256::State {
  CC_SHA256_CTX context;
};

KWLCSha256::KWLCSha256() : m_state(new State) { Reset(); }

KWLCSha256::~KWLCSha256() { delete m_state; }

void KWLCSha256::Update(const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  // CommonCrypto takes 32-bit lengths.
  while (size > 0) {
    const CC_LONG piece = size > 0x40000000 ? 0x40000000 : static_cast<CC_LONG>(size);
    CC_SHA256_Update(&m_state->context, bytes, piece);
    bytes += piece;
    size -= piece;
  }
}

void KWLCSha256::Reset() { CC_SHA256_Init(&m_state->context); }

std::string KWLCSha256::FinalHex() {
  unsigned char digest[CC_SHA256_DIGEST_LENGTH];
  CC_SHA256_Final(digest, &m_state->context);
  Reset();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}
