#include "LCReleaseVerifier.h"

#include <cstring>

#include "KWLCSha256.h"
#include "KWLogger.h"
#include "LCReleaseKeys.h"
#include "LCReleaseManifest.h"

namespace {

const char* const kBegin = "-----BEGIN PUBLIC KEY-----";
const char* const kEnd = "-----END PUBLIC KEY-----";

// Every P-256 SubjectPublicKeyInfo with an uncompressed point starts with
// these 26 bytes (SEQUENCE, id-ecPublicKey, prime256v1, BIT STRING of 66
// bytes) and ends with the 65-byte point: a key of another kind or curve
// differs here, before any platform call sees it.
const unsigned char kP256KeyInfoPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
const size_t kP256KeyInfoBytes = sizeof(kP256KeyInfoPrefix) + 65;

// An ECDSA P-256 signature is a DER SEQUENCE of two INTEGERs of at most 33
// bytes each: at most 72 bytes, 96 in base64.
const size_t kMaxSignatureBase64 = 96;
const size_t kMinSignatureBytes = 8;

std::string KeyId(const std::string& der) {
  KWLCSha256 hash;
  hash.Update(der.data(), der.size());
  return hash.FinalHex().substr(0, 16);
}

// Half the order of P-256, rounded down: a signature's s must not exceed it.
const unsigned char kHalfOrder[32] = {0x7f, 0xff, 0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x7f, 0xff, 0xff,
                                      0xff, 0xff, 0xff, 0xff, 0xff, 0xde, 0x73, 0x7d, 0x56, 0xd3, 0x8b,
                                      0xcf, 0x42, 0x79, 0xdc, 0xe5, 0x61, 0x7e, 0x31, 0x92, 0xa8};

// One DER INTEGER at der[at], positive and in its shortest form; its value's
// bytes (without the sign byte) go to value.
bool ReadPositiveInteger(const std::string& der, size_t& at, std::string& value) {
  if (at + 2 > der.size() || der[at] != 0x02) return false;
  const size_t length = static_cast<unsigned char>(der[at + 1]);
  at += 2;
  if (length == 0 || length > 33 || at + length > der.size()) return false;
  const unsigned char first = static_cast<unsigned char>(der[at]);
  if (first & 0x80) return false;                                                                      // negative
  if (first == 0 && (length == 1 || !(static_cast<unsigned char>(der[at + 1]) & 0x80))) return false;  // padded
  value = der.substr(first == 0 ? at + 1 : at, first == 0 ? length - 1 : length);
  at += length;
  return value.size() <= 32;
}

// A SEQUENCE of r and s that spans the signature exactly: a verifier that
// stops at the end of the DER would accept the same signature with bytes
// appended. s (without a sign byte) goes to s.
bool IsOneDERSignature(const std::string& der, std::string& s) {
  if (der.size() < kMinSignatureBytes || static_cast<unsigned char>(der[0]) != 0x30 ||
      static_cast<unsigned char>(der[1]) >= 0x80 || static_cast<size_t>(der[1]) + 2 != der.size())
    return false;
  size_t at = 2;
  std::string r;
  return ReadPositiveInteger(der, at, r) && ReadPositiveInteger(der, at, s) && at == der.size();
}

// For every valid (r, s), (r, n - s) is valid too; only one of the two has
// s in the lower half of the order.
bool IsLowS(const std::string& s) {
  return s.size() < sizeof(kHalfOrder) || memcmp(s.data(), kHalfOrder, sizeof(kHalfOrder)) <= 0;
}

}  // namespace

LCReleaseVerifier::LCReleaseVerifier(const std::string& publicKeysPEM, const std::string& minimumBuild)
    : m_signed(false), m_minimumBuild(minimumBuild) {
  size_t at = 0;
  while ((at = publicKeysPEM.find(kBegin, at)) != std::string::npos) {
    m_signed = true;
    const size_t bodyStart = at + strlen(kBegin);
    const size_t end = publicKeysPEM.find(kEnd, bodyStart);
    if (end == std::string::npos) {
      KWLOG("release: a public key without its end line is left out");
      break;
    }
    at = end + strlen(kEnd);
    std::string body;
    for (size_t i = bodyStart; i < end; ++i) {
      const char c = publicKeysPEM[i];
      if (c != '\n' && c != '\r' && c != ' ' && c != '\t') body += c;
    }
    std::string der;
    PlatformKey* key = nullptr;
    if (PlatformDecodeBase64(body, der) && der.size() == kP256KeyInfoBytes &&
        memcmp(der.data(), kP256KeyInfoPrefix, sizeof(kP256KeyInfoPrefix)) == 0) {
      key = PlatformLoadKey(der);
    }
    if (key == nullptr) {
      KWLOG("release: a public key that is not a P-256 key is left out");
      continue;
    }
    m_keys.push_back(Key{KeyId(der), key});
  }
}

LCReleaseVerifier::~LCReleaseVerifier() {
  for (Key& key : m_keys) PlatformFreeKey(key.m_key);
}

const LCReleaseVerifier& LCReleaseVerifier::CompiledIn() {
  static const LCReleaseVerifier verifier(kLCReleasePublicKeysPEM, kLCReleaseMinimumBuild);
  return verifier;
}

std::vector<std::string> LCReleaseVerifier::KeyIds() const {
  std::vector<std::string> ids;
  for (const Key& key : m_keys) ids.push_back(key.m_id);
  return ids;
}

bool LCReleaseVerifier::Verify(const LCReleaseManifest& manifest, const std::string& signatureBase64,
                               uint64_t nowUTCSeconds, std::string& keyId, std::string& why, bool* expired) const {
  keyId.clear();
  if (expired) *expired = false;
  if (!m_signed) {
    why = "this build has no release keys";
    return false;
  }
  if (signatureBase64.empty()) {
    why = "the reply is not signed";
    return false;
  }
  std::string message;
  if (!manifest.Canonical(message, why)) return false;
  std::string signature;
  if (signatureBase64.size() > kMaxSignatureBase64 || !PlatformDecodeBase64(signatureBase64, signature)) {
    why = "the signature is not base64 of the right length";
    return false;
  }
  std::string s;
  if (!IsOneDERSignature(signature, s)) {
    why = "the signature is not one DER ECDSA signature";
    return false;
  }
  if (!IsLowS(s)) {
    why = "the signature's s is in the upper half of the order (the other spelling of a signature)";
    return false;
  }
  const Key* signer = nullptr;
  for (const Key& key : m_keys) {
    if (PlatformVerify(*key.m_key, message, signature)) {
      signer = &key;
      break;
    }
  }
  if (signer == nullptr) {
    why = "no release key verifies the signature";
    return false;
  }
  // Only a signed build number means anything: compared after the signature.
  int order = 0;
  if (!m_minimumBuild.empty() &&
      (!LCReleaseManifest::CompareBuildNumbers(manifest.m_buildNumber, m_minimumBuild, order) || order < 0)) {
    why = "build " + manifest.m_buildNumber + " is not a build number at or above the minimum " + m_minimumBuild;
    return false;
  }
  if (nowUTCSeconds >= manifest.m_expiresUTCSeconds) {
    why = "the release expired at " + std::to_string(manifest.m_expiresUTCSeconds) + " (UTC seconds), it is now " +
          std::to_string(nowUTCSeconds);
    if (expired) *expired = true;
    return false;
  }
  keyId = signer->m_id;
  return true;
}
