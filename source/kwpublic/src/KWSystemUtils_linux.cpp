#include <dirent.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

void KWSystemUtils::AdoptOrphanedDescendants() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

int KWSystemUtils::EndToolkitDaemons() {
  // GNUstep starts these when a process first needs them and they detach
  // from it; adopted, they are this process's children, and only those are
  // touched: a server that was running before belongs to someone else.
  static const char* const kDaemons[] = {"gdnc", "gpbs"};
  const pid_t self = getpid();
  std::vector<pid_t> ended;
  if (DIR* proc = opendir("/proc")) {
    while (const struct dirent* entry = readdir(proc)) {
      char* end = nullptr;
      const long pid = std::strtol(entry->d_name, &end, 10);
      if (pid <= 0 || *end != '\0') continue;
      std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
      std::string stat;
      if (!std::getline(in, stat)) continue;
      // "pid (name) state ppid ...": the name may hold spaces and parentheses.
      const size_t open = stat.find('(');
      const size_t close = stat.rfind(')');
      if (open == std::string::npos || close == std::string::npos || close < open) continue;
      const std::string name = stat.substr(open + 1, close - open - 1);
      char state = 0;
      long parent = 0;
      if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &parent) != 2 || parent != self) continue;
      for (const char* daemon : kDaemons) {
        if (name == daemon && kill(static_cast<pid_t>(pid), SIGTERM) == 0) ended.push_back(static_cast<pid_t>(pid));
      }
    }
    closedir(proc);
  }
  // Reaped here, or by whoever else waits for any child; past the deadline
  // one that ignored the request is killed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (const pid_t pid : ended) {
    for (;;) {
      int status = 0;
      const pid_t reaped = waitpid(pid, &status, WNOHANG);
      if (reaped != 0) break;  // reaped, or no longer a child of ours
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return static_cast<int>(ended.size());
}
