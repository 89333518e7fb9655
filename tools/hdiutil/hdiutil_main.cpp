// hdiutil stand-in for systems without one. It answers the two command lines
// the installer uses, the way the real tool does:
//
//   hdiutil attach IMAGE -mountroot DIR [-plist] [-nobrowse] [-noverify] [-noautoopen] [-readonly] [-quiet]
//     Copies the ISO 9660 volume in IMAGE to DIR/VOLUME-NAME ("VOLUME-NAME 1",
//     "VOLUME-NAME 2"... when taken) as the slice /dev/diskNs1 of a new disk
//     /dev/diskN. A regular file ".second-volume.iso" at the top of that volume
//     is the image's second volume, copied the same way as /dev/diskNs2. Prints
//     a line per entity ("/dev/diskNs1<tab><tab>DIR/VOLUME-NAME"), or with
//     -plist a property list whose "system-entities" give each entity's
//     "dev-entry" and, for a volume, its "mount-point" (resolved). The volumes
//     appear whole or not at all.
//   hdiutil detach DEVICE-OR-MOUNT-POINT [-force] [-quiet]
//     Removes every volume of the disk (the disk a mount point belongs to),
//     only trees that attach created, and prints "\"diskN\" ejected.".
//
// Exit status: 0 done, 1 failed (a message on stderr; nothing left behind),
// 2 unusable command line.
#include <fcntl.h>
#include <limits.h>
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

#include "HdiDiskRegistry.h"
#include "HdiEntryPolicy.h"
#include "HdiIsoVolume.h"
#include "HdiMountMarker.h"
#include "HdiTree.h"
#include "HdiVolumeExtractor.h"

namespace {

const int kExitFailed = 1;
const int kExitUsage = 2;
const char* const kSecondVolumeFile = ".second-volume.iso";
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
               "usage: hdiutil attach IMAGE -mountroot DIR [-plist] [-nobrowse] [-noverify] [-noautoopen] "
               "[-readonly] [-quiet]\n"
               "       hdiutil detach DEVICE-OR-MOUNT-POINT [-force] [-quiet]\n");
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

std::string XMLEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

struct Entity {
  std::string device;
  std::string mountPoint;  // empty for the whole disk
};

void PrintPlist(const std::vector<Entity>& entities) {
  std::printf(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n\t<key>system-entities</key>\n\t<array>\n");
  for (const Entity& entity : entities) {
    std::printf("\t\t<dict>\n\t\t\t<key>content-hint</key>\n\t\t\t<string>%s</string>\n",
                entity.mountPoint.empty() ? "GUID_partition_scheme" : "Apple_HFS");
    std::printf("\t\t\t<key>dev-entry</key>\n\t\t\t<string>%s</string>\n", XMLEscaped(entity.device).c_str());
    if (!entity.mountPoint.empty()) {
      std::printf("\t\t\t<key>mount-point</key>\n\t\t\t<string>%s</string>\n", XMLEscaped(entity.mountPoint).c_str());
    }
    std::printf("\t\t\t<key>potentially-mountable</key>\n\t\t\t<%s/>\n\t\t</dict>\n",
                entity.mountPoint.empty() ? "false" : "true");
  }
  std::printf("\t</array>\n</dict>\n</plist>\n");
}

std::string Resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

// Removes a volume's tree, taking it away from its name first so that the
// mount point vanishes at once even if removing a large tree takes a while or
// partly fails.
bool RemoveVolume(const std::string& mountPoint, std::string& error) {
  const size_t slash = mountPoint.rfind('/');
  std::string doomed = mountPoint.substr(0, slash == 0 ? 1 : slash) + "/.hdiutil-detach-XXXXXX";
  if (mkdtemp(&doomed[0]) == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  if (rename(mountPoint.c_str(), doomed.c_str()) != 0) {
    error = std::strerror(errno);
    rmdir(doomed.c_str());
    return false;
  }
  return HdiTree::Remove(doomed, error);
}

// Copies one volume and publishes it under mountRoot as device's mount point.
bool AttachVolume(const std::string& image, const std::string& mountRoot, const std::string& device,
                  std::string& mountPoint, std::string& error) {
  std::string volumeName;
  if (!HdiIsoVolume::ReadVolumeName(image, volumeName, error)) return false;
  std::string staging = mountRoot + "/.hdiutil-attach-XXXXXX";
  if (mkdtemp(&staging[0]) == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  chmod(staging.c_str(), 0755);
  HdiMountRecord record;
  record.device = device;
  record.image = Absolute(image);
  const bool attached = HdiVolumeExtractor::Extract(image, staging, g_interrupted, error) &&
                        HdiMountMarker::Write(staging, record, error) && !g_interrupted &&
                        PublishTree(staging, mountRoot, volumeName, mountPoint, error);
  if (!attached) {
    if (g_interrupted) error = "interrupted";
    std::string removeError;
    HdiTree::Remove(staging, removeError);
  }
  return attached;
}

int Attach(const std::vector<std::string>& args) {
  std::string image, mountRoot;
  bool quiet = false, plist = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-mountroot" && i + 1 < args.size()) {
      mountRoot = args[++i];
    } else if (args[i] == "-quiet") {
      quiet = true;
    } else if (args[i] == "-plist") {
      plist = true;
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

  const int disk = HdiDiskRegistry::Claim(error);
  if (disk < 0) return Fail("attach", error);
  const std::string wholeDisk = "/dev/disk" + std::to_string(disk);
  std::vector<Entity> entities = {{wholeDisk, ""}};
  std::vector<std::string> mountPoints;
  const auto undo = [&](const std::string& reason) {
    std::string removeError;
    for (const std::string& mountPoint : mountPoints) RemoveVolume(mountPoint, removeError);
    HdiDiskRegistry::Release(disk);
    return Fail("attach", reason);
  };
  for (int slice = 1; slice <= 2; ++slice) {
    std::string source = image;
    if (slice == 2) {
      // Only a plain file at the top of the first volume; one level deep.
      source = mountPoints.front() + "/" + kSecondVolumeFile;
      if (lstat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) break;
    }
    const std::string device = wholeDisk + "s" + std::to_string(slice);
    std::string mountPoint;
    if (!AttachVolume(source, mountRoot, device, mountPoint, error)) return undo(error);
    mountPoints.push_back(mountPoint);
    if (!HdiDiskRegistry::Record(disk, mountPoints, error)) return undo(error);
    entities.push_back({device, Resolved(mountPoint)});
  }
  if (plist) {
    PrintPlist(entities);
  } else if (!quiet) {
    for (const Entity& entity : entities) {
      std::printf("%-20s\t%-32s\t%s\n", entity.device.c_str(),
                  entity.mountPoint.empty() ? "GUID_partition_scheme" : "Apple_HFS", entity.mountPoint.c_str());
    }
  }
  return 0;
}

// "/dev/disk3" -> 3; -1 for anything else.
int DiskNumberOfDevice(const std::string& device) {
  const std::string prefix = "/dev/disk";
  if (device.compare(0, prefix.size(), prefix) != 0 || device.size() == prefix.size()) return -1;
  for (size_t i = prefix.size(); i < device.size(); ++i) {
    if (device[i] < '0' || device[i] > '9') return -1;
  }
  return std::atoi(device.c_str() + prefix.size());
}

int Detach(const std::vector<std::string>& args) {
  std::string target;
  bool quiet = false;
  for (const std::string& arg : args) {
    if (arg == "-quiet") {
      quiet = true;
    } else if (arg == "-force") {
      // Nothing can hold a copied volume busy.
    } else if (target.empty() && !arg.empty() && arg[0] != '-') {
      target = arg;
    } else {
      return Usage();
    }
  }
  if (target.empty()) return Usage();
  std::string error;
  std::vector<std::string> mountPoints;
  int disk = DiskNumberOfDevice(target);
  if (disk < 0) {
    // A mount point stands for the disk it belongs to, as with the real tool.
    const std::string mountPoint = WithoutTrailingSlashes(Absolute(target));
    HdiMountRecord record;
    if (!HdiMountMarker::Read(mountPoint, record, error)) return Fail("detach", error);
    disk = HdiMountMarker::DiskNumberOf(mountPoint);
    if (disk < 0 || !HdiDiskRegistry::MountPoints(disk, mountPoints)) mountPoints = {mountPoint};
  } else if (!HdiDiskRegistry::MountPoints(disk, mountPoints)) {
    return Fail("detach", "no such disk: " + HdiPrintableName(target));
  }
  bool removedAny = false;
  std::string failure;
  for (const std::string& mountPoint : mountPoints) {
    // Only a tree attach made for this very disk: the registry is a plain file.
    if (HdiMountMarker::DiskNumberOf(mountPoint) != disk) continue;
    if (RemoveVolume(mountPoint, error)) {
      removedAny = true;
    } else {
      failure = error;
    }
  }
  if (!failure.empty()) return Fail("detach", failure);
  HdiDiskRegistry::Release(disk);
  if (!removedAny) return Fail("detach", "no volume of " + HdiPrintableName(target) + " is attached");
  if (!quiet) std::printf("\"disk%d\" ejected.\n", disk);
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
