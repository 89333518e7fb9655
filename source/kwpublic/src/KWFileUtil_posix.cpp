#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "KWFileUtil.h"
#include "KWFolders.h"

namespace {

std::mutex g_tempMutex;
std::string g_sessionFolder;              // guarded by g_tempMutex
std::vector<std::string> g_createdFiles;  // guarded by g_tempMutex

std::string SystemTempFolder() {
  const char* tmpdir = getenv("TMPDIR");
  std::string folder = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

const char kSessionPrefix[] = "kwsession.";

// Caller holds g_tempMutex.
const std::string& SessionFolderLocked() {
  if (g_sessionFolder.empty()) {
    std::string pattern = SystemTempFolder() + "/" + kSessionPrefix + std::to_string(getpid()) + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) g_sessionFolder = buffer.data();
  }
  return g_sessionFolder;
}

// Removes the entry name of the folder parentFD and everything below it on
// the same file system. A folder on another device is a mount point (a disk
// image still attached under the session folder): its contents are never
// deleted, so the removal fails there. Every folder is opened from its parent
// without following links and checked to be the one looked at, so a folder
// swapped for a link in between is never entered.
bool RemoveEntryOnDevice(int parentFD, const char* name, dev_t device) {
  struct stat info;
  if (fstatat(parentFD, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) return unlinkat(parentFD, name, 0) == 0 || errno == ENOENT;
  if (info.st_dev != device) return false;
  const int fd = openat(parentFD, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat opened;
  DIR* dir = nullptr;
  if (fstat(fd, &opened) != 0 || opened.st_dev != info.st_dev || opened.st_ino != info.st_ino ||
      (dir = fdopendir(fd)) == nullptr) {
    close(fd);
    return false;
  }
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    RemoveEntryOnDevice(dirfd(dir), entry->d_name, device);
  }
  closedir(dir);
  return unlinkat(parentFD, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool RemoveTree(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return false;
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  const int parentFD = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parentFD < 0) return errno == ENOENT;
  struct stat info;
  const char* name = path.c_str() + slash + 1;
  bool removed = fstatat(parentFD, name, &info, AT_SYMLINK_NOFOLLOW) != 0
                     ? errno == ENOENT
                     : RemoveEntryOnDevice(parentFD, name, info.st_dev);
  close(parentFD);
  return removed;
}

}  // namespace

KWFile KWFileUtil::GetSystemTempFolder() { return KWFile(KWString(SystemTempFolder())); }

KWFile KWFileUtil::GetSessionTempFolder() {
  std::lock_guard<std::mutex> lock(g_tempMutex);
  return KWFile(KWString(SessionFolderLocked()));
}

KWPath KWFileUtil::GetUserApplicationDataFolder() { return KWFolders::UserApplicationDataFolder(); }

KWPath KWFileUtil::GetUserPreferenceFolder(const KWString& name) { return KWFolders::UserPreferenceFolder(name); }

KWPath KWFileUtil::GetUserCacheFolder(const KWString& name) { return KWFolders::UserCacheFolder(name); }

KWFile KWFileUtil::GetUniqueTemporaryFile(const KWString& prefix) {
  std::lock_guard<std::mutex> lock(g_tempMutex);
  const std::string& folder = SessionFolderLocked();
  if (folder.empty()) return KWFile();
  // mkstemp never hands out a name that exists, and every name it returns
  // stays on disk until DeleteAllTempFilesCreated, so none is reused.
  std::string pattern = folder + "/" + prefix.GetUTF8String() + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) return KWFile();
  close(fd);
  g_createdFiles.push_back(buffer.data());
  return KWFile(KWString(buffer.data()));
}

void KWFileUtil::DeleteAllTempFilesCreated() {
  std::lock_guard<std::mutex> lock(g_tempMutex);
  for (const std::string& file : g_createdFiles) unlink(file.c_str());
  g_createdFiles.clear();
  if (!g_sessionFolder.empty()) {
    RemoveTree(g_sessionFolder);
    g_sessionFolder.clear();
  }
}

int KWFileUtil::DeleteStaleSessionFolders() {
  const std::string temp = SystemTempFolder();
  // Everything below is reached from this descriptor: the shared folder's
  // other users cannot swap a looked-at folder for a link.
  const int tempFD = open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tempFD < 0) return 0;
  struct stat tempInfo;
  DIR* dir = nullptr;
  const int listFD = fstat(tempFD, &tempInfo) == 0 ? dup(tempFD) : -1;
  if (listFD < 0 || (dir = fdopendir(listFD)) == nullptr) {
    if (listFD >= 0) close(listFD);
    close(tempFD);
    return 0;
  }
  const size_t prefixLength = sizeof(kSessionPrefix) - 1;
  int removed = 0;
  while (struct dirent* entry = readdir(dir)) {
    // "kwsession.<pid>.<suffix>"
    const std::string name = entry->d_name;
    if (name.compare(0, prefixLength, kSessionPrefix) != 0) continue;
    const size_t dot = name.find('.', prefixLength);
    const std::string digits = name.substr(prefixLength, dot == std::string::npos ? 0 : dot - prefixLength);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(digits));
    if (pid <= 0 || pid == getpid()) continue;
    struct stat info;
    if (fstatat(tempFD, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != geteuid() || info.st_dev != tempInfo.st_dev) {
      continue;
    }
    // EPERM: alive, another user's.
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    if (RemoveEntryOnDevice(tempFD, name.c_str(), tempInfo.st_dev)) ++removed;
  }
  closedir(dir);
  close(tempFD);
  return removed;
}

std::vector<std::string> KWFileUtil::GetFolderEntryNames(const KWPath& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.GetPathAsKWString().c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  return names;
}

KWPath KWFileUtil::GetExecutableFile() { return KWFolders::ExecutableFile(); }

KWPath KWFileUtil::GetCurrentExecutablePath() {
  const KWPath folder = GetExecutableFile().GetParentKWPath();
  for (KWPath walk = folder; !walk.IsEmpty() && walk.GetPathAsKWString() != "/"; walk = walk.GetParentKWPath()) {
    if (walk.GetFileName().EndsWith(".app")) return walk;
  }
  return folder;
}

uint64_t KWFileUtil::GetFreeDiskBytes(const KWPath& folder) {
  struct statvfs status;
  if (statvfs(folder.GetPathAsKWString().c_str(), &status) != 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(status.f_bavail) * static_cast<uint64_t>(status.f_frsize);
}

bool KWFileUtil::CreateDirectory(const KWPath& path, bool createParents) {
  const std::string& target = path.GetPathAsKWString().GetUTF8String();
  if (target.empty()) return false;
  if (createParents) {
    for (size_t slash = target.find('/', 1); slash != std::string::npos; slash = target.find('/', slash + 1)) {
      mkdir(target.substr(0, slash).c_str(), 0755);
    }
  }
  if (mkdir(target.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return KWFile(path).IsDirectory();
}

bool KWFileUtil::DeleteDirectoryTree(const KWPath& path) {
  if (path.IsEmpty()) return false;
  return RemoveTree(path.GetPathAsKWString().GetUTF8String());
}
