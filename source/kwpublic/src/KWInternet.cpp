#include "KWInternet.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "KWCurlAddressFamily.h"
#include "KWCurlFloor.h"
#include "KWLogger.h"
#include "KWProxy.h"

namespace {

const int kConnectionTestTimeoutMS = 5000;
const long kHTTPConnectTimeoutMS = 3000;
const long kHTTPRequestTimeoutMS = 5000;
const int kAbortPollMS = 100;

// Splits "host:port" (or "[v6]:port"); the port defaults to 80.
void SplitHostPort(const std::string& text, std::string& host, std::string& port) {
  host = text;
  port = "80";
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close != std::string::npos) {
      if (close + 1 < host.size() && host[close + 1] == ':') port = host.substr(close + 2);
      host = host.substr(1, close - 1);
    }
    return;
  }
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(':') == colon) {
    port = host.substr(colon + 1);
    host = host.substr(0, colon);
  }
}

// The URL whose proxy settings apply to the test host: HTTPS on its port,
// plain HTTP on any other.
std::string TestURL(const std::string& host, const std::string& port) {
  const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return (port == "443" ? "https://" : "http://") + name + ":" + port + "/";
}

int RemainingMS(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A socket that no child started by the launcher inherits.
int OpenCloseOnExecSocket(const addrinfo* address) {
#ifdef SOCK_CLOEXEC
  return socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
#else
  // Not atomic: a child started in between is covered by the launcher, which
  // closes every inherited descriptor above stderr.
  const int fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

bool ConnectWithDeadline(const addrinfo* address, std::chrono::steady_clock::time_point deadline) {
  const int fd = OpenCloseOnExecSocket(address);
  if (fd < 0) return false;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  bool connected = connect(fd, address->ai_addr, address->ai_addrlen) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd waiter{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&waiter, 1, RemainingMS(deadline));
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof(error);
    connected = ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  close(fd);
  return connected;
}

class KWSocketConnectionDetector : public IKWInternetConnectionDetector {
 public:
  void SetURLToConnect(const KWString& host) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_host = host.GetUTF8String();
  }

  bool IsConnectedToInternet() override {
    std::string target;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      target = m_host;
    }
    if (target.empty()) return false;
    std::string host, port;
    if (!KWConnectionCheckTarget(KWString(target), host, port)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectionTestTimeoutMS);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    // NOTE: getaddrinfo has no time-out of its own; a resolver that hangs is
    // bounded by the system's resolver settings.
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) return false;
    // The transfers try IPv4 first and IPv6 only when IPv4 cannot reach the
    // host: so does the check, or it would pass on a network where they fail
    // (or fail where they pass).
    bool connected = false;
    for (const bool ipv4 : {true, false}) {
      for (addrinfo* address = addresses; address && !connected && RemainingMS(deadline) > 0;
           address = address->ai_next) {
        if ((address->ai_family == AF_INET) == ipv4) connected = ConnectWithDeadline(address, deadline);
      }
    }
    freeaddrinfo(addresses);
    return connected;
  }

 private:
  std::mutex m_mutex;
  std::string m_host;
};

std::atomic<IKWInternetConnectionDetector*> g_testDetector{nullptr};
std::atomic<bool> g_curlInitializedElsewhere{false};
std::once_flag g_curlInitOnce;

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

class KWCurlFileDownloader : public IKWInternetFileDownloader {
 public:
  explicit KWCurlFileDownloader(const IFDProxyParams& proxy) : m_proxy(proxy) {}

  bool SendHTTPRequestToURL(const KWString& url) override {
    static const std::atomic<bool> never{false};
    return SendHTTPRequestToURL(url, never);
  }

  bool SendHTTPRequestToURL(const KWString& url, const std::atomic<bool>& abort) override {
    if (!g_curlInitializedElsewhere) InitializeCurlForProcess();
    if (abort) return false;
    CURL* curl = curl_easy_init();
    if (!curl) return false;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (!KWCurlFloor::LimitProtocols(curl, KWCurlFloor::kRedirectsHTTPOrHTTPS, "network")) {
      curl_easy_cleanup(curl);
      return false;
    }
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kHTTPConnectTimeoutMS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kHTTPRequestTimeoutMS);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardBody);
    if (m_proxy.m_useProxy && !m_proxy.m_proxyHost.empty()) {
      curl_easy_setopt(curl, CURLOPT_PROXY, m_proxy.m_proxyHost.c_str());
      if (m_proxy.m_proxyPort) curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(m_proxy.m_proxyPort));
    } else {
      KWProxy::ApplyToCurlHandle(curl, url);
    }
    KWCurlAddressFamily::UseIPv4(curl);
    CURLcode result = PerformUnlessAborted(curl, abort);
    if (!abort && KWCurlAddressFamily::RetryWithBothFamilies(curl, result, "network")) {
      result = PerformUnlessAborted(curl, abort);
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    KWProxy::LogProxyRefusal(curl, "network", url);
    curl_easy_cleanup(curl);
    return result == CURLE_OK && status >= 200 && status < 300;
  }

 private:
  // curl_easy_perform may sit a whole second in one wait before it looks at
  // a progress function; a multi handle polled in short steps lets a quit
  // end the request within a tenth of a second.
  static CURLcode PerformUnlessAborted(CURL* curl, const std::atomic<bool>& abort) {
    CURLM* multi = curl_multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    curl_multi_add_handle(multi, curl);
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    int running = 1;
    while (!abort) {
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) {
        int left = 0;
        CURLMsg* message = curl_multi_info_read(multi, &left);
        result = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_FAILED_INIT;
        break;
      }
      curl_multi_wait(multi, nullptr, 0, kAbortPollMS, nullptr);
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return result;
  }

  IFDProxyParams m_proxy;
};

}  // namespace

bool KWConnectionCheckTarget(const KWString& testHost, std::string& host, std::string& port) {
  SplitHostPort(testHost.GetUTF8String(), host, port);
  // Behind a proxy the network the installer will use is the one to the
  // proxy: the test host itself may well be out of reach. The route is the
  // one a transfer to the test host takes.
  const KWProxyRoute route = KWProxy::RouteForURL(KWString(TestURL(host, port)));
  if (route.IsDirect()) return true;
  int proxyPort = 0;
  if (!KWProxy::SplitProxy(KWString(route.Proxy()), host, proxyPort)) {
    KWLOG("network: unusable proxy setting for %s", testHost.c_str());
    return false;
  }
  port = std::to_string(proxyPort);
  KWLOG("network: checking the connection through the proxy at %s:%s", host.c_str(), port.c_str());
  return true;
}

IKWInternetConnectionDetector* IKWInternetConnectionDetector::GetInstance() {
  if (IKWInternetConnectionDetector* detector = g_testDetector.load()) return detector;
  static KWSocketConnectionDetector detector;
  return &detector;
}

void IKWInternetConnectionDetector::SetInstanceForTesting(IKWInternetConnectionDetector* detector) {
  g_testDetector = detector;
}

IKWInternetFileDownloader* IKWInternetFileDownloader::GetInstance(const IFDProxyParams& proxy) {
  // One instance per distinct setting would be tidier; the installer only
  // ever asks for the no-proxy one, so keep that one and build others fresh.
  if (!proxy.m_useProxy) {
    static KWCurlFileDownloader direct{IFDProxyParams()};
    return &direct;
  }
  thread_local std::unique_ptr<KWCurlFileDownloader> proxied;
  proxied.reset(new KWCurlFileDownloader(proxy));
  return proxied.get();
}

void IKWInternetFileDownloader::InitializeCurlForProcess() {
  std::call_once(g_curlInitOnce, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

void IKWInternetFileDownloader::SetIsCurlGlobalInitialized(bool initialized) {
  g_curlInitializedElsewhere = initialized;
}
