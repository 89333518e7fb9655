#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "KWFolders.h"

namespace {
KWPath XDGFolder(const char* variable, const char* fallback) {
  const char* value = getenv(variable);
  // The base-directory rules ignore relative paths.
  if (value && value[0] == '/') return KWPath(value);
  return KWPath(KWFolders::HomeFolder()).Append(fallback);
}
}  // namespace

KWPath KWFolders::UserApplicationDataFolder() { return XDGFolder("XDG_DATA_HOME", ".local/share"); }

KWPath KWFolders::UserCacheFolder(const KWString& name) { return XDGFolder("XDG_CACHE_HOME", ".cache").Append(name); }

KWPath KWFolders::UserPreferenceFolder(const KWString& name) {
  return XDGFolder("XDG_CONFIG_HOME", ".config").Append(name);
}

KWPath KWFolders::ExecutableFile() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return KWPath();
  return KWPath(KWString(buffer, static_cast<size_t>(length)));
}
