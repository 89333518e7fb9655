// Feeds arbitrary text to the release checks as a handshake reply's
// signature and fields: whatever the base64, lengths or DER, nothing crashes,
// and nothing is accepted, since no input can hold a signature by a key made
// for this run.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "LCReleaseManifest.h"
#include "LCReleaseVerifier.h"

namespace {

std::string FreshPublicKeyPEM() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, key);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(size));
  BIO_free(bio);
  EVP_PKEY_free(key);
  return pem;
}

}  // namespace

// The input: signature text, then after the first newline the build number,
// then the launch path; a fixed digest and size complete the manifest.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const LCReleaseVerifier verifier(FreshPublicKeyPEM(), "0");
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t first = input.find('\n');
  const size_t second = first == std::string::npos ? std::string::npos : input.find('\n', first + 1);
  LCReleaseManifest manifest;
  manifest.m_sha256 = std::string(64, 'a');
  manifest.m_sizeBytes = 1;
  manifest.m_expiresUTCSeconds = 2;
  manifest.m_buildNumber = first == std::string::npos ? "1" : input.substr(first + 1, second - first - 1);
  manifest.m_launchPath = second == std::string::npos ? "/A" : input.substr(second + 1);
  std::string keyId, why;
  if (verifier.Verify(manifest, input.substr(0, first), 1, keyId, why)) __builtin_trap();
  // The key parser sees the same text as PEM: it may load nothing, never crash.
  const LCReleaseVerifier fromText("-----BEGIN PUBLIC KEY-----\n" + input + "\n-----END PUBLIC KEY-----\n", "");
  if (fromText.Verify(manifest, input.substr(0, first), 1, keyId, why)) __builtin_trap();
  return 0;
}
