#include "HdiTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Empties the folder open as fd (which this function closes).
bool EmptyFolder(int fd, std::string& error) {
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) {
    error = std::strerror(errno);
    close(fd);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
  }
  bool ok = true;
  const int folderFD = dirfd(folder);
  struct stat info;
  if (fstat(folderFD, &info) == 0 && (info.st_mode & S_IWUSR) == 0) fchmod(folderFD, info.st_mode | S_IRWXU);
  for (const std::string& name : names) {
    if (unlinkat(folderFD, name.c_str(), 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      error = name + ": " + std::strerror(errno);
      ok = false;
      continue;
    }
    const int child = openat(folderFD, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
      error = name + ": " + std::strerror(errno);
      ok = false;
      continue;
    }
    if (!EmptyFolder(child, error) || unlinkat(folderFD, name.c_str(), AT_REMOVEDIR) != 0) {
      if (error.empty()) error = name + ": " + std::strerror(errno);
      ok = false;
    }
  }
  closedir(folder);
  return ok;
}

}  // namespace

bool HdiTree::Remove(const std::string& path, std::string& error) {
  error.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!EmptyFolder(fd, error)) return false;
  if (rmdir(path.c_str()) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}
