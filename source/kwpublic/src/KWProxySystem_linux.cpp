#include <stdlib.h>

#include <string>
#include <vector>

#include "KWProxySystem.h"

namespace {

// The lower-case name first, as libcurl reads them; an empty value is unset.
// HTTP_PROXY is never read: a CGI program's environment takes it from a
// request's "Proxy:" header, so libcurl reads only http_proxy for http.
std::string Variable(const std::string& lowerName) {
  std::string upperName(lowerName);
  for (char& c : upperName) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  std::vector<std::string> names{lowerName};
  if (lowerName != "http_proxy") names.push_back(upperName);
  for (const std::string& name : names) {
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
