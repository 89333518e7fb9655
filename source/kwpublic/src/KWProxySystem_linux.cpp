#include <stdlib.h>

#include "KWProxySystem.h"

namespace {

// The lower-case name first, as libcurl reads them; an empty value is unset.
std::string Variable(const std::string& lowerName) {
  std::string upperName(lowerName);
  for (char& c : upperName) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const std::string& name : {lowerName, upperName}) {
    const char* value = getenv(name.c_str());
    if (value != nullptr && value[0] != '\0') return value;
  }
  return std::string();
}

}  // namespace

KWProxySystemSettings KWProxySystem::Read(const std::string& scheme) {
  KWProxySystemSettings settings;
  settings.m_proxy = Variable(scheme + "_proxy");
  if (settings.m_proxy.empty()) settings.m_proxy = Variable("all_proxy");
  settings.m_noProxy = Variable("no_proxy");
  return settings;
}
