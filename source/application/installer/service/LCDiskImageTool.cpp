#include "LCDiskImageTool.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <set>

#include "KWApplicationLaunchUtil.h"
#include "KWLogger.h"

namespace {

// "/dev/disk2s1" -> "/dev/disk2"; empty for anything that is not a disk
// node of that form, so that nothing else reaches the tool's command line.
std::string WholeDiskOf(const std::string& device) {
  const std::string prefix = "/dev/disk";
  if (device.compare(0, prefix.size(), prefix) != 0) return std::string();
  size_t end = prefix.size();
  while (end < device.size() && std::isdigit(static_cast<unsigned char>(device[end]))) ++end;
  if (end == prefix.size()) return std::string();
  size_t slice = end;
  if (slice < device.size() && device[slice] == 's') {
    ++slice;
    const size_t digits = slice;
    while (slice < device.size() && std::isdigit(static_cast<unsigned char>(device[slice]))) ++slice;
    if (slice == digits) return std::string();
  }
  return slice == device.size() ? device.substr(0, end) : std::string();
}

// The path with every link and ".." resolved; empty when it does not exist.
// On macOS the temporary folder is reached through /var -> /private/var, and
// the tool prints the resolved form.
std::string Resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::vector<KWString> LCDiskImageTool::AttachArguments(const KWString& imagePath, const std::string& mountRoot) {
  // -plist: the answer as a property list, the form meant for programs.
  // -nobrowse keeps the volume off the user's desktop and out of the Finder
  // while the installation runs; -noautoopen keeps a Finder window from opening.
  return {"attach", imagePath, "-mountroot", KWString(mountRoot), "-nobrowse", "-noautoopen", "-plist"};
}

std::vector<KWString> LCDiskImageTool::DetachArguments(const std::string& device, bool force) {
  std::vector<KWString> arguments = {"detach", KWString(device)};
  if (force) arguments.push_back("-force");
  return arguments;
}

std::vector<std::string> LCDiskImageTool::WholeDisks(const std::vector<LCDiskImageEntity>& entities) {
  std::vector<std::string> disks;
  for (const LCDiskImageEntity& entity : entities) {
    const std::string disk = WholeDiskOf(entity.device);
    bool known = disk.empty();
    for (const std::string& seen : disks) known = known || seen == disk;
    if (!known) disks.push_back(disk);
  }
  return disks;
}

std::string LCDiskImageTool::VolumeHolding(const std::vector<LCDiskImageEntity>& entities, const std::string& mountRoot,
                                           const std::string& folderName) {
  const std::string root = Resolved(mountRoot);
  if (root.empty()) return std::string();
  for (const LCDiskImageEntity& entity : entities) {
    if (entity.mountPoint.empty()) continue;
    const std::string volume = Resolved(entity.mountPoint);
    // Only a volume under the mount root given to attach is ours to use.
    if (volume.size() <= root.size() + 1 || volume.compare(0, root.size() + 1, root + "/") != 0) continue;
    if (IsFolder(volume + "/" + folderName)) return volume;
  }
  return std::string();
}

LCAttachOutcome LCDiskImageTool::Attach(const KWString& imagePath, const std::string& mountRoot,
                                        const std::atomic<bool>* cancel) {
  LCAttachOutcome outcome;
  std::string output;
  std::string errors;
  KWApplicationLaunchUtil::KWWaitOptions options;
  options.m_output = &output;
  options.m_errors = &errors;
  options.m_cancel = cancel;
  int exitCode = 0;
  const int result =
      KWApplicationLaunchUtil::RunAndWait(ToolPath(), AttachArguments(imagePath, mountRoot), exitCode, false, options);
  while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r')) errors.pop_back();
  if (result == ECANCELED) {
    outcome.cancelled = true;
    outcome.reason = "ended by a quit";
  } else if (result != 0) {
    outcome.reason = "could not start: error " + std::to_string(result);
  } else {
    outcome.exitCode = exitCode;
    outcome.reason = errors;
    // What was attached is read even from a failed attach, so that it can
    // be detached again.
    const bool read = ReadSystemEntities(output, outcome.entities);
    outcome.attached = exitCode == 0 && read;
    if (exitCode == 0 && !read) outcome.reason += std::string(errors.empty() ? "" : "; ") + "answer not readable";
    // hdiutil's words for a full disk (the system's ENOSPC text); the
    // stand-in says the same.
    outcome.outOfSpace = exitCode != 0 && errors.find("No space left on device") != std::string::npos;
  }
  return outcome;
}

bool LCDiskImageTool::Detach(const std::string& wholeDisk) {
  if (WholeDiskOf(wholeDisk) != wholeDisk) return false;
  KWLOG("Detaching device %s", wholeDisk.c_str());
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) KWLOG("hdiutil: detach failed, trying again with -force");
    int exitCode = 0;
    std::string errors;
    KWApplicationLaunchUtil::KWWaitOptions options;
    options.m_errors = &errors;
    const int result = KWApplicationLaunchUtil::RunAndWait(ToolPath(), DetachArguments(wholeDisk, attempt > 0),
                                                           exitCode, false, options);
    if (result != 0) KWLOG("Error while executing hdiutil for detach");
    while (!errors.empty() && errors.back() == '\n') errors.pop_back();
    KWLOG("hdiutil detach returned: %d%s%s", result == 0 ? exitCode : -1, errors.empty() ? "" : ", ", errors.c_str());
    if (result == 0 && exitCode == 0) return true;
  }
  return false;
}
