#include <openssl/evp.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>

#include "KWApplicationLaunchUtil.h"
#include "KWSystemUtils.h"

namespace {

// "6.1.0-28-amd64" -> "6.1.0": the numeric release, three fields.
std::string NumericRelease(const char* release) {
  std::string result;
  int dots = 0;
  for (const char* p = release; *p; ++p) {
    if (std::isdigit(static_cast<unsigned char>(*p))) {
      result.push_back(*p);
    } else if (*p == '.' && dots < 2 && !result.empty() && result.back() != '.') {
      result.push_back('.');
      ++dots;
    } else {
      break;
    }
  }
  if (!result.empty() && result.back() == '.') result.pop_back();
  for (; dots < 2; ++dots) result += ".0";
  return result;
}

std::string ReadMachineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(path);
    std::string id;
    if (in && std::getline(in, id) && !id.empty()) return id;
  }
  return std::string();
}

std::string Sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 15]);
  }
  return out;
}

}  // namespace

KWString KWSystemUtils::GetOSVersion() {
  struct utsname name;
  if (uname(&name) != 0) return "linux 0.0.0";
  return KWString("linux ") + KWString(NumericRelease(name.release));
}

KWString KWSystemUtils::GetPlatformName() { return "linux"; }

KWString KWSystemUtils::GetDeviceToken() {
  std::string id = ReadMachineId();
  if (id.empty()) {
    struct utsname name;
    if (uname(&name) == 0) id = name.nodename;
  }
  return KWString(Sha256Hex("clipvane-device-token:" + id));
}

bool KWSystemUtils::OpenURL(const KWString& url) {
  int exitCode = 0;
  return KWApplicationLaunchUtil::LaunchApplication("xdg-open", {url}, exitCode,
                                                    KWApplicationLaunchUtil::kKWLaunchNoWait, false) == 0;
}

KWString KWSystemUtils::GetSessionBusAddress() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return std::string(address) == "disabled:" ? KWString() : KWString(address);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return KWString();
  const std::string userBus = std::string(runtime) + "/bus";
  return access(userBus.c_str(), F_OK) == 0 ? KWString("unix:path=" + userBus) : KWString();
}
