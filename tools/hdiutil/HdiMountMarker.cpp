#include "HdiMountMarker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "HdiEntryPolicy.h"

namespace {

const char kMagic[] = "hdiutil-standin-mount 1";
const size_t kMaxMarkerSize = 8192;

class ScopedFD {
 public:
  explicit ScopedFD(int fd) : m_fd(fd) {}
  ~ScopedFD() {
    if (m_fd >= 0) close(m_fd);
  }
  ScopedFD(const ScopedFD&) = delete;
  ScopedFD& operator=(const ScopedFD&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool HdiMountMarker::Write(const std::string& folder, const HdiMountRecord& record, std::string& error) {
  ScopedFD folderFD(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (folderFD.Get() < 0 || fstat(folderFD.Get(), &info) != 0) {
    error = std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << kMagic << "\n"
       << "dev " << info.st_dev << "\n"
       << "ino " << info.st_ino << "\n"
       << "device " << record.device << "\n"
       << "image " << HdiPrintableName(record.image) << "\n";
  ScopedFD markerFD(
      openat(folderFD.Get(), HdiEntryPolicy::kMarkerName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444));
  if (markerFD.Get() < 0 || !WriteAll(markerFD.Get(), text.str())) {
    error = std::string("cannot write the mount marker: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool HdiMountMarker::Read(const std::string& folder, HdiMountRecord& record, std::string& error) {
  ScopedFD folderFD(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat folderInfo;
  if (folderFD.Get() < 0 || fstat(folderFD.Get(), &folderInfo) != 0) {
    error = errno == ELOOP || errno == ENOTDIR ? "not a mounted volume" : std::strerror(errno);
    return false;
  }
  ScopedFD markerFD(openat(folderFD.Get(), HdiEntryPolicy::kMarkerName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat markerInfo;
  if (markerFD.Get() < 0 || fstat(markerFD.Get(), &markerInfo) != 0 || !S_ISREG(markerInfo.st_mode) ||
      markerInfo.st_size > static_cast<off_t>(kMaxMarkerSize)) {
    error = "not a volume attached by hdiutil";
    return false;
  }
  std::string text(static_cast<size_t>(markerInfo.st_size), '\0');
  if (read(markerFD.Get(), &text[0], text.size()) != static_cast<ssize_t>(text.size())) {
    error = "cannot read the mount marker";
    return false;
  }
  std::istringstream lines(text);
  std::string line;
  bool sameDevice = false, sameInode = false;
  if (std::getline(lines, line) && line == kMagic) {
    while (std::getline(lines, line)) {
      const size_t blank = line.find(' ');
      const std::string key = line.substr(0, blank);
      const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
      if (key == "dev") sameDevice = value == std::to_string(folderInfo.st_dev);
      if (key == "ino") sameInode = value == std::to_string(folderInfo.st_ino);
      if (key == "device") record.device = value;
      if (key == "image") record.image = value;
    }
  }
  if (!sameDevice || !sameInode) {
    error = "not a volume attached by hdiutil";
    return false;
  }
  return true;
}

int HdiMountMarker::DiskNumberOf(const std::string& folder) {
  HdiMountRecord record;
  std::string error;
  if (!Read(folder, record, error) || record.device.compare(0, 9, "/dev/disk") != 0) return -1;
  return std::atoi(record.device.c_str() + 9);
}
