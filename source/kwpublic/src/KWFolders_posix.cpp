#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "KWFolders.h"

KWString KWFolders::HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  if (struct passwd* entry = getpwuid(getuid())) return entry->pw_dir;
  return "/tmp";
}
