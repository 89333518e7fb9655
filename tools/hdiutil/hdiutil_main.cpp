// hdiutil stand-in for systems without one. It answers the two command lines
// the installer uses, the way the real tool does:
//
//   hdiutil attach IMAGE -mountroot DIR [-nobrowse] [-noverify] [-noautoopen] [-readonly] [-quiet]
//     Copies the ISO 9660 volume in IMAGE to DIR/VOLUME-NAME ("VOLUME-NAME 1",
//     "VOLUME-NAME 2"... when taken) and prints
//     "/dev/diskN<tab><tab>DIR/VOLUME-NAME". The tree appears whole or not at all.
//   hdiutil detach MOUNT-POINT [-force] [-quiet]
//     Removes a tree that attach created and prints "\"diskN\" ejected.".
//
// Exit status: 0 done, 1 failed (a message on stderr; nothing left behind),
// 2 unusable command line.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "HdiEntryPolicy.h"
#include "HdiIsoVolume.h"
#include "HdiMountMarker.h"
#include "HdiTree.h"
#include "HdiVolumeExtractor.h"

namespace {

const int kExitFailed = 1;
const int kExitUsage = 2;
// hdiutil numbers the first attached image disk2 on a typical Mac.
const int kFirstDiskNumber = 2;
const int kMaxNameAttempts = 1000;

std::atomic<bool> g_interrupted(false);

void OnSignal(int) { g_interrupted = true; }

void CatchTerminationSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

int Usage() {
  std::fprintf(stderr,
               "usage: hdiutil attach IMAGE -mountroot DIR [-nobrowse] [-noverify] [-noautoopen] [-readonly] "
               "[-quiet]\n"
               "       hdiutil detach MOUNT-POINT [-force] [-quiet]\n");
  return kExitUsage;
}

int Fail(const char* verb, const std::string& message) {
  std::fprintf(stderr, "hdiutil: %s failed - %s\n", verb, message.c_str());
  return kExitFailed;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  return std::string(buffer) + "/" + path;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Smallest disk number not held by another tree attached under mountRoot.
int NextDiskNumber(const std::string& mountRoot) {
  std::set<int> taken;
  if (DIR* folder = opendir(mountRoot.c_str())) {
    while (struct dirent* entry = readdir(folder)) {
      if (entry->d_name[0] == '.' && (entry->d_name[1] == '\0' || std::strcmp(entry->d_name, "..") == 0)) continue;
      const int number = HdiMountMarker::DiskNumberOf(mountRoot + "/" + entry->d_name);
      if (number >= 0) taken.insert(number);
    }
    closedir(folder);
  }
  int number = kFirstDiskNumber;
  while (taken.count(number) != 0) ++number;
  return number;
}

// Moves the finished tree to the first free name. Claiming the name with mkdir
// and renaming onto the empty claim never replaces anything someone else made.
bool PublishTree(const std::string& staging, const std::string& mountRoot, const std::string& volumeName,
                 std::string& mountPoint, std::string& error) {
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string name = attempt == 0 ? volumeName : volumeName + " " + std::to_string(attempt);
    const std::string candidate = mountRoot + "/" + name;
    if (mkdir(candidate.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      error = std::strerror(errno);
      return false;
    }
    if (rename(staging.c_str(), candidate.c_str()) != 0) {
      error = std::strerror(errno);
      rmdir(candidate.c_str());
      return false;
    }
    mountPoint = candidate;
    return true;
  }
  error = "no free mount point name";
  return false;
}

int Attach(const std::vector<std::string>& args) {
  std::string image, mountRoot;
  bool quiet = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-mountroot" && i + 1 < args.size()) {
      mountRoot = args[++i];
    } else if (args[i] == "-quiet") {
      quiet = true;
    } else if (args[i] == "-nobrowse" || args[i] == "-noverify" || args[i] == "-noautoopen" || args[i] == "-readonly") {
      // Meaningless for a copied volume; accepted like the real tool does.
    } else if (image.empty() && !args[i].empty() && args[i][0] != '-') {
      image = args[i];
    } else {
      return Usage();
    }
  }
  if (image.empty()) return Usage();
  // Without a mount root the real tool uses /Volumes; this one never writes there.
  if (mountRoot.empty()) return Fail("attach", "-mountroot DIR is required");
  mountRoot = WithoutTrailingSlashes(Absolute(mountRoot));

  struct stat info;
  if (stat(image.c_str(), &info) != 0) return Fail("attach", std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return Fail("attach", "image not recognized");
  if (stat(mountRoot.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Fail("attach", "mount root " + HdiPrintableName(mountRoot) + ": not a folder");
  }
  std::string volumeName, error;
  if (!HdiIsoVolume::ReadVolumeName(image, volumeName, error)) return Fail("attach", error);

  std::string staging = mountRoot + "/.hdiutil-attach-XXXXXX";
  if (mkdtemp(&staging[0]) == nullptr) return Fail("attach", std::strerror(errno));
  chmod(staging.c_str(), 0755);
  HdiMountRecord record;
  record.device = "/dev/disk" + std::to_string(NextDiskNumber(mountRoot));
  record.image = Absolute(image);
  std::string mountPoint;
  const bool attached = HdiVolumeExtractor::Extract(image, staging, g_interrupted, error) &&
                        HdiMountMarker::Write(staging, record, error) && !g_interrupted &&
                        PublishTree(staging, mountRoot, volumeName, mountPoint, error);
  if (!attached) {
    std::string removeError;
    HdiTree::Remove(staging, removeError);
    return Fail("attach", g_interrupted ? "interrupted" : error);
  }
  if (!quiet) std::printf("%-20s\t%-32s\t%s\n", record.device.c_str(), "", mountPoint.c_str());
  return 0;
}

int Detach(const std::vector<std::string>& args) {
  std::string mountPoint;
  bool quiet = false;
  for (const std::string& arg : args) {
    if (arg == "-quiet") {
      quiet = true;
    } else if (arg == "-force") {
      // Nothing can hold a copied volume busy.
    } else if (mountPoint.empty() && !arg.empty() && arg[0] != '-') {
      mountPoint = arg;
    } else {
      return Usage();
    }
  }
  if (mountPoint.empty()) return Usage();
  mountPoint = WithoutTrailingSlashes(Absolute(mountPoint));
  HdiMountRecord record;
  std::string error;
  if (!HdiMountMarker::Read(mountPoint, record, error)) return Fail("detach", error);

  // Take the tree away from its name first, so the mount point vanishes at once
  // even if removing a large tree takes a while or partly fails.
  const size_t slash = mountPoint.rfind('/');
  std::string doomed = mountPoint.substr(0, slash == 0 ? 1 : slash) + "/.hdiutil-detach-XXXXXX";
  if (mkdtemp(&doomed[0]) == nullptr) return Fail("detach", std::strerror(errno));
  if (rename(mountPoint.c_str(), doomed.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    rmdir(doomed.c_str());
    return Fail("detach", reason);
  }
  if (!HdiTree::Remove(doomed, error)) return Fail("detach", error);
  if (!quiet) std::printf("\"%s\" ejected.\n", record.device.substr(std::strlen("/dev/")).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Joliet names come out of libarchive in the locale's character set.
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "");
  umask(022);
  CatchTerminationSignals();
  if (argc < 2) return Usage();
  const std::string verb = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (verb == "attach") return Attach(args);
  if (verb == "detach" || verb == "eject") return Detach(args);
  return Usage();
}
