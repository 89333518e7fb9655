// KWFile: a named file or folder on disk (the object does not hold it open).
#pragma once

#include <cstdint>

#include "KWPath.h"

class KWFile {
 public:
  KWFile() = default;
  KWFile(const KWPath& path) : m_path(path) {}    // NOLINT: implicit by design
  KWFile(const KWString& path) : m_path(path) {}  // NOLINT
  KWFile(const char* path) : m_path(path) {}      // NOLINT

  const KWPath& GetPath() const { return m_path; }

  // True only for an existing regular file (or a link to one).
  bool Exists() const;
  // True for anything at the path: file, folder, device.
  bool DoesFileExist() const;
  bool IsDirectory() const;
  // Removes a file or an empty folder; true when nothing is left at the path,
  // so deleting a missing file succeeds.
  bool Delete() const;
  // Size in bytes; 0 when missing.
  uint64_t GetSize() const;

 private:
  KWPath m_path;
};
