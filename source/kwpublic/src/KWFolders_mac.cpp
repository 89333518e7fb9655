#include <limits.h>
#include <mach-o/dyld.h>
#include <stdlib.h>

#include <vector>

#include "KWFolders.h"

KWPath KWFolders::UserApplicationDataFolder() { return KWPath(HomeFolder()).Append("Library/Application Support"); }

KWPath KWFolders::UserCacheFolder(const KWString& name) {
  return KWPath(HomeFolder()).Append("Library/Caches").Append(name);
}

KWPath KWFolders::UserPreferenceFolder(const KWString& name) {
  return KWPath(HomeFolder()).Append("Library/Preferences").Append(name);
}

KWPath KWFolders::ExecutableFile() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1);
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return KWPath();
  char resolved[PATH_MAX];
  if (!realpath(buffer.data(), resolved)) return KWPath(buffer.data());
  return KWPath(resolved);
}
