#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "LCReleaseVerifier.h"

struct LCReleaseVerifier::PlatformKey {
  EVP_PKEY* m_key;
};

bool LCReleaseVerifier::PlatformDecodeBase64(const std::string& text, std::string& bytes) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return false;
  std::string decoded(text.size() / 4 * 3, '\0');
  const int length =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                      reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (length < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes, and skips blanks at
  // either end and ignores unused low bits: encoding the result again must
  // give the very same text, or the text was not canonical base64.
  const size_t padding = text[text.size() - 1] != '=' ? 0 : text[text.size() - 2] != '=' ? 1 : 2;
  decoded.resize(static_cast<size_t>(length) - padding);
  std::string again(text.size() + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&again[0]),
                      reinterpret_cast<const unsigned char*>(decoded.data()), static_cast<int>(decoded.size()));
  if (written < 0 || again.compare(0, std::string::npos, text.c_str(), text.size() + 1) != 0) return false;
  bytes = decoded;
  return true;
}

LCReleaseVerifier::PlatformKey* LCReleaseVerifier::PlatformLoadKey(const std::string& der) {
  // d2i_PUBKEY checks that the point is on the curve.
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size()));
  if (key == nullptr) return nullptr;
  if (cursor != reinterpret_cast<const unsigned char*>(der.data()) + der.size() ||
      EVP_PKEY_base_id(key) != EVP_PKEY_EC) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return new PlatformKey{key};
}

void LCReleaseVerifier::PlatformFreeKey(PlatformKey* key) {
  if (key == nullptr) return;
  EVP_PKEY_free(key->m_key);
  delete key;
}

bool LCReleaseVerifier::PlatformVerify(const PlatformKey& key, const std::string& message,
                                       const std::string& derSignature) {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.m_key) != 1) return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(derSignature.data()),
                          derSignature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}
