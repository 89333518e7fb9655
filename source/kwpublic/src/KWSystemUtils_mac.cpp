#include <CommonCrypto/CommonDigest.h>
#include <sys/sysctl.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cstring>
#include <string>

#include "KWApplicationLaunchUtil.h"
#include "KWSystemUtils.h"

namespace {
std::string Sysctl(const char* name) {
  char buffer[256];
  size_t size = sizeof(buffer);
  if (sysctlbyname(name, buffer, &size, nullptr, 0) != 0 || size == 0) return std::string();
  return std::string(buffer, strnlen(buffer, size));
}
}  // namespace

KWString KWSystemUtils::GetOSVersion() {
  std::string version = Sysctl("kern.osproductversion");
  // Before 10.13.4 only the kernel's release tells the system apart.
  if (version.empty()) version = MacOSVersionFromDarwinRelease(Sysctl("kern.osrelease"));
  if (version.empty()) version = "10.8.0";
  if (version.find('.') == version.rfind('.')) version += ".0";
  return KWString("osx ") + KWString(version);
}

KWString KWSystemUtils::GetPlatformName() { return "osx"; }

KWString KWSystemUtils::GetDeviceToken() {
  uuid_t hostId;
  const struct timespec wait = {0, 0};
  std::string id;
  if (gethostuuid(hostId, &wait) == 0) {
    uuid_string_t text;
    uuid_unparse(hostId, text);
    id = text;
  }
  const std::string salted = "clipvane-device-token:" + id;
  unsigned char digest[CC_SHA256_DIGEST_LENGTH];
  CC_SHA256(salted.data(), static_cast<CC_LONG>(salted.size()), digest);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : digest) {
    out.push_back(hex[byte >> 4]);
    out.push_back(hex[byte & 15]);
  }
  return KWString(out);
}

bool KWSystemUtils::OpenURL(const KWString& url) {
  int exitCode = 0;
  return KWApplicationLaunchUtil::LaunchApplication("/usr/bin/open", {url}, exitCode,
                                                    KWApplicationLaunchUtil::kKWLaunchNoWait, false) == 0;
}

KWString KWSystemUtils::GetSessionBusAddress() { return KWString(); }

void KWSystemUtils::AdoptOrphanedDescendants() {}

int KWSystemUtils::EndToolkitDaemons() { return 0; }
