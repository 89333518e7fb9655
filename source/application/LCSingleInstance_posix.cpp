#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "KWFileUtil.h"
#include "KWLogger.h"
#include "LCSingleInstance.h"

namespace {

// A folder only this user can write to: nobody else can plant or hold a lock
// file there.
bool IsPrivateFolder(const char* path) {
  struct stat info;
  return path && *path == '/' && lstat(path, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & 022) == 0;
}

}  // namespace

std::string LCSingleInstance::LockFilePath() {
  // The user's runtime folder; else the temporary folder, which on macOS is
  // the user's own and elsewhere is shared, hence the user id in the name.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = IsPrivateFolder(runtime)
                                 ? std::string(runtime)
                                 : KWFileUtil::GetSystemTempFolder().GetPath().GetPathAsKWString().GetUTF8String();
  return folder + "/clipvane_installer-" + std::to_string(geteuid()) + ".lock";
}

LCSingleInstance::LCSingleInstance() {
  const std::string lockFile = LockFilePath();
  // No link is followed (it would make us create a file where its owner
  // chose), and the open never waits (a FIFO there must not stop the start).
  m_fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat info;
  if (m_fd >= 0 && (fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid())) {
    // Someone else's file: their lock says nothing about our installers.
    close(m_fd);
    m_fd = -1;
  }
  if (m_fd < 0) {
    // Without a lock file of our own we cannot tell; do not keep the user out.
    KWLOG("Single instance: no lock file of ours at %s, not checked", lockFile.c_str());
    m_locked = true;
    return;
  }
  int result;
  do {
    result = flock(m_fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  m_locked = result == 0;
  if (m_locked) ComeForwardAsked();  // what is there now is no request
}

void LCSingleInstance::AskRunningToComeForward() {
  struct stat info;
  if (m_locked || m_fd < 0 || fstat(m_fd, &info) != 0) return;
  if (pwrite(m_fd, "!", 1, info.st_size) != 1) {
    KWLOG("Single instance: could not ask the running installer to come forward");
  }
}

bool LCSingleInstance::ComeForwardAsked() {
  struct stat info;
  if (!m_locked || m_fd < 0 || fstat(m_fd, &info) != 0 || info.st_size == 0) return false;
  if (ftruncate(m_fd, 0) != 0) return false;  // a request that cannot be cleared is not taken, or it would repeat
  return true;
}

LCSingleInstance::~LCSingleInstance() {
  if (m_fd >= 0) close(m_fd);  // releases the lock; the file stays for the next run
}
