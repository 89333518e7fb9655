#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KWFile.h"

bool KWFile::Exists() const {
  struct stat info;
  return !m_path.IsEmpty() && stat(m_path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool KWFile::DoesFileExist() const {
  struct stat info;
  return !m_path.IsEmpty() && lstat(m_path.c_str(), &info) == 0;
}

bool KWFile::IsDirectory() const {
  struct stat info;
  return !m_path.IsEmpty() && stat(m_path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool KWFile::Delete() const {
  if (m_path.IsEmpty()) return true;
  if (unlink(m_path.c_str()) == 0 || errno == ENOENT) return true;
  if (errno == EISDIR || errno == EPERM) return rmdir(m_path.c_str()) == 0 || errno == ENOENT;
  return false;
}

uint64_t KWFile::GetSize() const {
  struct stat info;
  if (m_path.IsEmpty() || stat(m_path.c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}
