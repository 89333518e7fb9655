#include "KWSystemUtils.h"

#include <cstdlib>

std::string KWSystemUtils::MacOSVersionFromDarwinRelease(const std::string& release) {
  char* end = nullptr;
  const long darwin = std::strtol(release.c_str(), &end, 10);
  if (end == release.c_str() || (*end != '.' && *end != '\0') || darwin < 5 || darwin > 19) return std::string();
  return "10." + std::to_string(darwin - 4) + ".0";
}
