// LCReleaseVerifier: decides whether a handshake reply is a release signed
// offline by one of the installer's compiled-in public keys (ECDSA P-256 with
// SHA-256 over LCReleaseManifest's canonical form), and not older than the
// compiled-in minimum build, nor expired.
//
//   const LCReleaseVerifier& verifier = LCReleaseVerifier::CompiledIn();
//   std::string keyId, why;
//   if (verifier.IsSigned() && !verifier.Verify(manifest, signatureBase64, now, keyId, why)) refuse(why);
//
// The signature is DER (an X9.62 ECDSA-Sig-Value) in standard base64 with its
// padding, its s in the lower half of the curve's order; anything else (other
// alphabets, line breaks, missing or extra padding, bytes after the DER, a
// DER integer not in its shortest form, or (r, n - s), which ECDSA would
// accept as well) is refused, so one signature has one spelling.
// A key's id is the first 16 hex digits of the SHA-256 of its DER
// SubjectPublicKeyInfo, as tools/publish-release prints it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class LCReleaseManifest;

class LCReleaseVerifier {
 public:
  // publicKeysPEM: any number of "PUBLIC KEY" PEM blocks (P-256 only); text
  // outside the blocks is ignored. No block at all makes an unsigned
  // verifier: IsSigned() is false and every Verify fails. Keys that do not
  // load are left out (and logged); if none loads, every Verify fails.
  // minimumBuild: the lowest build number accepted (see
  // LCReleaseManifest::CompareBuildNumbers); empty accepts any.
  LCReleaseVerifier(const std::string& publicKeysPEM, const std::string& minimumBuild);
  ~LCReleaseVerifier();
  LCReleaseVerifier(const LCReleaseVerifier&) = delete;
  LCReleaseVerifier& operator=(const LCReleaseVerifier&) = delete;

  // The keys and minimum build this installer was built with.
  static const LCReleaseVerifier& CompiledIn();

  // True when the build was given release keys: replies must then be signed.
  bool IsSigned() const { return m_signed; }
  // The ids of the keys that loaded, in the order given.
  std::vector<std::string> KeyIds() const;
  // True when signatureBase64 signs manifest's canonical form by one of the
  // keys, the build is not below the minimum and the release has not expired
  // at nowUTCSeconds; keyId then names the key. Otherwise why says which check
  // failed, and expired (when given) whether it was only the expiry. Never
  // throws.
  bool Verify(const LCReleaseManifest& manifest, const std::string& signatureBase64, uint64_t nowUTCSeconds,
              std::string& keyId, std::string& why, bool* expired = nullptr) const;

 private:
  // One loaded public key, in the platform's own type.
  struct PlatformKey;
  struct Key {
    std::string m_id;
    PlatformKey* m_key;
  };

  // Strict standard base64 (see above); false for anything else.
  static bool PlatformDecodeBase64(const std::string& text, std::string& bytes);
  // A key from a P-256 SubjectPublicKeyInfo whose header the caller checked
  // (kP256KeyInfoPrefix, then the 65-byte point 0x04 X Y); null when the
  // point is not on the curve.
  static PlatformKey* PlatformLoadKey(const std::string& der);
  static void PlatformFreeKey(PlatformKey* key);
  static bool PlatformVerify(const PlatformKey& key, const std::string& message, const std::string& derSignature);

  std::vector<Key> m_keys;
  bool m_signed;
  std::string m_minimumBuild;
};
