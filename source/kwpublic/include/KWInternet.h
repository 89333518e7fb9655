// Network probes: a reachability check and a single HTTP GET.
#pragma once

#include <atomic>
#include <string>

#include "KWString.h"

class IKWInternetConnectionDetector {
 public:
  // The process-wide detector (a TCP connect test), or the one a test installed.
  static IKWInternetConnectionDetector* GetInstance();
  // Replaces the instance returned by GetInstance; null restores the default.
  static void SetInstanceForTesting(IKWInternetConnectionDetector* detector);

  virtual ~IKWInternetConnectionDetector() {}
  // "host" or "host:port" (port 80 when none is given).
  virtual void SetURLToConnect(const KWString& host) = 0;
  // True when a TCP connection to the host succeeds, or to the proxy that the
  // system's settings name for it; answers within 5 s.
  virtual bool IsConnectedToInternet() = 0;
};

// Where the connection check connects for a test host ("host" or
// "host:port"): the host itself, or the proxy that the route a transfer to
// it takes names. False when that proxy is unusable (logged).
bool KWConnectionCheckTarget(const KWString& testHost, std::string& host, std::string& port);

struct IFDProxyParams {
  bool m_useProxy = false;
  KWString m_proxyHost;
  int m_proxyPort = 0;
};

class IKWInternetFileDownloader {
 public:
  static IKWInternetFileDownloader* GetInstance(const IFDProxyParams& proxy);
  // Tells the downloader that curl_global_init has run; otherwise the first
  // request initialises libcurl itself (once, thread-safely).
  static void SetIsCurlGlobalInitialized(bool initialized);
  // Takes libcurl's global initialisation for the life of the process. Call
  // it on the main thread before any other thread starts: later init and
  // cleanup pairs (the UI core's) then never tear libcurl down under a
  // transfer that is still running, and old libcurl versions, whose global
  // init is not thread-safe, never see two threads initialise at once.
  static void InitializeCurlForProcess();

  virtual ~IKWInternetFileDownloader() {}
  // One GET; true only for a 2xx status. Connect time-out 3 s, whole request 5 s.
  virtual bool SendHTTPRequestToURL(const KWString& url) = 0;
  // The same, ended early (false) once abort is set; only http and https,
  // redirects included.
  virtual bool SendHTTPRequestToURL(const KWString& url, const std::atomic<bool>& abort) = 0;
};
