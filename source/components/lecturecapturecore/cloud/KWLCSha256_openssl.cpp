#include <openssl/evp.h>

#include <new>

#include "KWLCSha256.h"

struct KWLCSha256::State {
  EVP_MD_CTX* context;
};

KWLCSha256::KWLCSha256() : m_state(new State{EVP_MD_CTX_new()}) {
  if (m_state->context == nullptr) {
    delete m_state;
    throw std::bad_alloc();
  }
  Reset();
}

KWLCSha256::~KWLCSha256() {
  EVP_MD_CTX_free(m_state->context);
  delete m_state;
}

void KWLCSha256::Update(const void* data, size_t size) { EVP_DigestUpdate(m_state->context, data, size); }

void KWLCSha256::Reset() { EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr); }

std::string KWLCSha256::FinalHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(m_state->context, digest, &length);
  Reset();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}
