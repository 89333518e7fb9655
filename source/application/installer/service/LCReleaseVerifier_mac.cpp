// The Security framework's verifier (macOS 10.12 and later). The deployment
// target is 10.13, so every call here exists on every Mac the installer runs on.
#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include "LCReleaseVerifier.h"

namespace {

// Owns one Core Foundation reference.
template <typename T>
class CFHolder {
 public:
  explicit CFHolder(T ref = nullptr) : m_ref(ref) {}
  ~CFHolder() {
    if (m_ref) CFRelease(m_ref);
  }
  CFHolder(const CFHolder&) = delete;
  CFHolder& operator=(const CFHolder&) = delete;
  T get() const { return m_ref; }

 private:
  T m_ref;
};

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The transform decodes leniently (it skips what it does not know), so the
// text is held to canonical base64 first: the alphabet, padding only at the
// end, and zero in the bits the padding leaves unused.
bool IsCanonicalBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return false;
  const size_t padding = text[text.size() - 1] != '=' ? 0 : text[text.size() - 2] != '=' ? 1 : 2;
  const size_t digits = text.size() - padding;
  for (size_t i = 0; i < digits; ++i) {
    if (Base64Value(text[i]) < 0) return false;
  }
  if (padding == 0) return true;
  const int last = Base64Value(text[digits - 1]);
  return padding == 1 ? (last & 0x03) == 0 : (last & 0x0f) == 0;
}

}  // namespace

struct LCReleaseVerifier::PlatformKey {
  SecKeyRef m_key;
};

bool LCReleaseVerifier::PlatformDecodeBase64(const std::string& text, std::string& bytes) {
  if (text.size() > 4096 || !IsCanonicalBase64(text)) return false;
  CFHolder<CFDataRef> input(CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                         static_cast<CFIndex>(text.size())));
  CFHolder<SecTransformRef> decoder(SecDecodeTransformCreate(kSecBase64Encoding, nullptr));
  if (!input.get() || !decoder.get() ||
      !SecTransformSetAttribute(decoder.get(), kSecTransformInputAttributeName, input.get(), nullptr)) {
    return false;
  }
  CFHolder<CFTypeRef> output(SecTransformExecute(decoder.get(), nullptr));
  if (!output.get() || CFGetTypeID(output.get()) != CFDataGetTypeID()) return false;
  CFDataRef data = static_cast<CFDataRef>(output.get());
  const size_t padding = text[text.size() - 1] != '=' ? 0 : text[text.size() - 2] != '=' ? 1 : 2;
  if (static_cast<size_t>(CFDataGetLength(data)) != text.size() / 4 * 3 - padding) return false;
  bytes.assign(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), static_cast<size_t>(CFDataGetLength(data)));
  return true;
}

LCReleaseVerifier::PlatformKey* LCReleaseVerifier::PlatformLoadKey(const std::string& der) {
  // SecKeyCreateWithData takes the bare X9.63 point, the last 65 bytes of the
  // checked SubjectPublicKeyInfo.
  const size_t kPointBytes = 65;
  if (der.size() < kPointBytes) return nullptr;
  CFHolder<CFDataRef> point(CFDataCreate(kCFAllocatorDefault,
                                         reinterpret_cast<const UInt8*>(der.data() + der.size() - kPointBytes),
                                         static_cast<CFIndex>(kPointBytes)));
  int bits = 256;
  CFHolder<CFNumberRef> size(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &bits));
  CFHolder<CFMutableDictionaryRef> attributes(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!point.get() || !size.get() || !attributes.get()) return nullptr;
  CFDictionarySetValue(attributes.get(), kSecAttrKeyType, kSecAttrKeyTypeECSECPrimeRandom);
  CFDictionarySetValue(attributes.get(), kSecAttrKeyClass, kSecAttrKeyClassPublic);
  CFDictionarySetValue(attributes.get(), kSecAttrKeySizeInBits, size.get());
  SecKeyRef key = SecKeyCreateWithData(point.get(), attributes.get(), nullptr);
  if (key == nullptr) return nullptr;
  return new PlatformKey{key};
}

void LCReleaseVerifier::PlatformFreeKey(PlatformKey* key) {
  if (key == nullptr) return;
  CFRelease(key->m_key);
  delete key;
}

bool LCReleaseVerifier::PlatformVerify(const PlatformKey& key, const std::string& message,
                                       const std::string& derSignature) {
  CFHolder<CFDataRef> data(CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(message.data()),
                                        static_cast<CFIndex>(message.size())));
  CFHolder<CFDataRef> signature(CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(derSignature.data()),
                                             static_cast<CFIndex>(derSignature.size())));
  if (!data.get() || !signature.get()) return false;
  return SecKeyVerifySignature(key.m_key, kSecKeyAlgorithmECDSASignatureMessageX962SHA256, data.get(), signature.get(),
                               nullptr);
}
