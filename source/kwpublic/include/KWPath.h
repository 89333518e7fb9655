// KWPath: a file-system path as UTF-8 text; empty by default.
#pragma once

#include <cstdint>

#include "KWString.h"

class KWPath {
 public:
  // Kinds passed to Append: a folder or a file. Both join with one separator.
  enum { kKWPathKindFolder = 0, kKWPathKindFile = 1 };

  KWPath() = default;
  KWPath(const KWString& path) : m_path(path) {}  // NOLINT: implicit by design
  KWPath(const char* path) : m_path(path) {}      // NOLINT

  // Appends one or more components, putting exactly one separator between.
  KWPath& Append(const KWString& component, int kind = kKWPathKindFolder);
  KWPath AppendNew(const KWString& component, int kind = kKWPathKindFolder) const;

  // The folder that holds this path ("/a/b" -> "/a", "/a" -> "/", "a" -> "").
  // The flags are accepted for source compatibility; callers pass 0xFFFFFFFF.
  KWPath GetParentKWPath(uint32_t flags = 0xFFFFFFFF) const;

  // Last component ("/a/b.dmg" -> "b.dmg").
  KWString GetFileName() const;

  const KWString& GetPathAsKWString() const { return m_path; }
  const char* c_str() const { return m_path.c_str(); }
  bool IsEmpty() const { return m_path.empty(); }

  friend bool operator==(const KWPath& a, const KWPath& b) { return a.m_path == b.m_path; }
  friend bool operator!=(const KWPath& a, const KWPath& b) { return !(a == b); }

 private:
  KWString m_path;
};
