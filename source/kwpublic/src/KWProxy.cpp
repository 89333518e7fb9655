#include "KWProxy.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <cctype>
#include <string>

#include "KWLogger.h"
#include "KWProxyResolver.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Digits only, within 1..65535.
bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  port = atoi(text.c_str());
  return port > 0 && port <= 65535;
}

// "host", "host:port", "[v6]" or "[v6]:port". A bare IPv6 address (more than
// one colon, no brackets) has no port. False for a bad port or bracket.
bool SplitHostAndPort(const std::string& text, std::string& host, int& port) {
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 == text.size()) return true;
    return text[close + 1] == ':' && ParsePort(text.substr(close + 2), port);
  }
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon != text.rfind(':')) {
    host = text;
    return true;
  }
  host = text.substr(0, colon);
  return ParsePort(text.substr(colon + 1), port);
}

// The part after "scheme://" and an optional "user:password@", up to the path.
std::string Authority(const std::string& url, std::string& scheme) {
  std::string rest = url;
  const size_t separator = url.find("://");
  scheme.clear();
  if (separator != std::string::npos) {
    scheme = Lower(url.substr(0, separator));
    rest = url.substr(separator + 3);
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const size_t at = rest.rfind('@');
  return at == std::string::npos ? rest : rest.substr(at + 1);
}

// The probe's stand-ins (TEST-NET-1, RFC 5737): the URL's host and the
// proxy, told apart by address and port.
const char kProbeHostAddress[] = "192.0.2.1";
const char kProbeProxyAddress[] = "192.0.2.2";
const int kProbeProxyPort = 9;
const long kProbeTimeoutMS = 2000;

std::string ProbeProxy() { return std::string("http://") + kProbeProxyAddress + ":" + std::to_string(kProbeProxyPort); }

bool IsAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

struct ProbeTarget {
  bool m_proxied = false;
};

// Called instead of opening a socket: records where libcurl wanted to
// connect and refuses, which ends the transfer.
curl_socket_t RecordTarget(void* data, curlsocktype, curl_sockaddr* address) {
  ProbeTarget* target = static_cast<ProbeTarget*>(data);
  if (address->family == AF_INET && address->addrlen >= sizeof(sockaddr_in)) {
    const sockaddr_in* inet = reinterpret_cast<const sockaddr_in*>(&address->addr);
    in_addr proxy{};
    inet_pton(AF_INET, kProbeProxyAddress, &proxy);
    target->m_proxied |= inet->sin_addr.s_addr == proxy.s_addr && ntohs(inet->sin_port) == kProbeProxyPort;
  }
  return CURL_SOCKET_BAD;
}

}  // namespace

bool KWProxy::SplitURL(const KWString& url, std::string& scheme, std::string& host, int& port) {
  const std::string authority = Authority(url.GetUTF8String(), scheme);
  port = scheme == "https" ? 443 : 80;
  return SplitHostAndPort(authority, host, port) && !host.empty();
}

bool KWProxy::SplitProxy(const KWString& proxy, std::string& host, int& port) {
  std::string scheme;
  const std::string authority = Authority(proxy.GetUTF8String(), scheme);
  port = scheme == "https" ? 443 : 1080;
  return SplitHostAndPort(authority, host, port) && !host.empty();
}

KWProxyRoute KWProxy::RouteForURL(const KWString& url) {
  std::string scheme, host;
  int port = 0;
  if (!SplitURL(url, scheme, host, port)) return KWProxyRoute();
  return KWProxyResolver::RouteForURL(url.GetUTF8String(), scheme);
}

void KWProxy::ApplyRoute(void* curl, const KWProxyRoute& route) {
  CURL* handle = static_cast<CURL*>(curl);
  // libcurl copies both strings.
  if (!route.m_environmentProxy.empty()) {
    // libcurl judges every request, redirects included, from the proxy and
    // the list: an exempt first host must not take the proxy away from the
    // host a redirect leads to. For the first host its judgement is the
    // route's, asked of the same libcurl with the same list.
    curl_easy_setopt(handle, CURLOPT_PROXY, route.m_environmentProxy.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROXY, route.m_environmentNoProxy.c_str());
    return;
  }
  const std::string proxy = route.Proxy();
  curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(handle, CURLOPT_NOPROXY, proxy.empty() ? "*" : "");
}

void KWProxy::ApplyToCurlHandle(void* curl, const KWString& url) { ApplyRoute(curl, RouteForURL(url)); }

bool KWProxy::LibcurlGoesDirect(const KWString& url, const std::string& noProxy) {
  std::string scheme, host;
  int port = 0;
  if (!SplitURL(url, scheme, host, port)) return true;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return true;
  // Every name resolves to a documentation address, so no lookup leaves
  // the machine; the socket libcurl asks for tells which way it chose, and
  // is never opened.
  curl_slist* names = nullptr;
  if (!IsAddress(host)) {
    for (const std::string& name : {host, Lower(host)}) {
      names = curl_slist_append(names, (name + ":" + std::to_string(port) + ":" + kProbeHostAddress).c_str());
    }
  }
  ProbeTarget target;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_RESOLVE, names);
  curl_easy_setopt(curl, CURLOPT_PROXY, ProbeProxy().c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxy.c_str());
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, RecordTarget);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &target);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kProbeTimeoutMS);
  curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  curl_slist_free_all(names);
  return !target.m_proxied;
}

bool KWProxy::LogProxyRefusal(void* curl, const char* layer, const KWString& url) {
  long connectStatus = 0, status = 0;
  curl_easy_getinfo(static_cast<CURL*>(curl), CURLINFO_HTTP_CONNECTCODE, &connectStatus);
  curl_easy_getinfo(static_cast<CURL*>(curl), CURLINFO_RESPONSE_CODE, &status);
  if (connectStatus != 407 && status != 407) return false;
  // The proxy string may carry credentials: only the URL goes to the log.
  KWLOG("%s: the proxy refused %s: 407 Proxy Authentication Required", layer, url.c_str());
  return true;
}
