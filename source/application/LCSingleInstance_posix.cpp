#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "KWFileUtil.h"
#include "LCSingleInstance.h"

LCSingleInstance::LCSingleInstance() {
  const KWPath lockFile = KWFileUtil::GetSystemTempFolder().GetPath().AppendNew("clipvane_installer.lock");
  m_fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (m_fd < 0) {
    // Without a lock file we cannot tell; do not keep the user out.
    m_locked = true;
    return;
  }
  int result;
  do {
    result = flock(m_fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  m_locked = result == 0;
}

LCSingleInstance::~LCSingleInstance() {
  if (m_fd >= 0) close(m_fd);  // releases the lock; the file stays for the next run
}
