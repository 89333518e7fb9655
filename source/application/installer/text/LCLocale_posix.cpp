#include <stdlib.h>

#include "LCLocale.h"

std::vector<std::string> LCLocale::SystemPreferences() {
  return PreferencesFromEnvironment([](const char* name) { return static_cast<const char*>(getenv(name)); });
}
