#include "HdiDiskRegistry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "HdiMountMarker.h"

namespace {

const int kFirstDiskNumber = 2;
const int kMaxDisks = 10000;

// /tmp/hdiutil-standin-UID, made here if missing; refused unless it is a real
// folder of this user's that nobody else may write to.
bool Folder(std::string& folder, std::string& error) {
  folder = "/tmp/hdiutil-standin-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "disk registry " + folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 022) != 0) {
    error = "disk registry " + folder + ": not a private folder of this user's";
    return false;
  }
  return true;
}

std::string FileOf(const std::string& folder, int disk) { return folder + "/disk" + std::to_string(disk); }

// A disk whose recorded volumes are all gone (removed by hand, or a session
// folder swept away) is no longer attached.
bool StillAttached(int disk) {
  std::vector<std::string> mountPoints;
  if (!HdiDiskRegistry::MountPoints(disk, mountPoints)) return false;
  if (mountPoints.empty()) return true;  // claimed, attach still running
  for (const std::string& mountPoint : mountPoints) {
    if (HdiMountMarker::DiskNumberOf(mountPoint) == disk) return true;
  }
  return false;
}

}  // namespace

int HdiDiskRegistry::Claim(std::string& error) {
  std::string folder;
  if (!Folder(folder, error)) return -1;
  // One claim at a time: two attaches that both found a number stale must
  // not both take it.
  const int lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    error = "disk registry: " + std::string(std::strerror(errno));
    if (lock >= 0) close(lock);
    return -1;
  }
  const int disk = ClaimLocked(folder, error);
  close(lock);
  return disk;
}

int HdiDiskRegistry::ClaimLocked(const std::string& folder, std::string& error) {
  for (int disk = kFirstDiskNumber; disk < kMaxDisks; ++disk) {
    const std::string file = FileOf(folder, disk);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST && !StillAttached(disk)) {
      unlink(file.c_str());
      fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd >= 0) {
      close(fd);
      return disk;
    }
    if (errno != EEXIST) {
      error = "disk registry: " + std::string(std::strerror(errno));
      return -1;
    }
  }
  error = "no free disk number";
  return -1;
}

bool HdiDiskRegistry::Record(int disk, const std::vector<std::string>& mountPoints, std::string& error) {
  std::string folder;
  if (!Folder(folder, error)) return false;
  std::string text;
  for (const std::string& mountPoint : mountPoints) text += mountPoint + "\n";
  const std::string file = FileOf(folder, disk);
  const std::string staging = file + ".new";
  const int fd = open(staging.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  const bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  if (!written || rename(staging.c_str(), file.c_str()) != 0) {
    error = "disk registry: " + std::string(std::strerror(errno));
    unlink(staging.c_str());
    return false;
  }
  return true;
}

bool HdiDiskRegistry::MountPoints(int disk, std::vector<std::string>& mountPoints) {
  mountPoints.clear();
  std::string folder, error;
  if (!Folder(folder, error)) return false;
  const int fd = open(FileOf(folder, disk).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  close(fd);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) mountPoints.push_back(line);
  }
  return true;
}

void HdiDiskRegistry::Release(int disk) {
  std::string folder, error;
  if (Folder(folder, error)) unlink(FileOf(folder, disk).c_str());
}
