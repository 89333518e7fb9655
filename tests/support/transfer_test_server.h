// RangeFileServer: serves one file over HTTP or HTTPS on 127.0.0.1 (or ::1) with
// byte ranges, and misbehaves on request: each ranged GET asks the script
// what to do, given the first byte asked for and how often it was asked.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "TestHttpServer.h"

enum class RangeFault {
  kNone,
  kDropMidBody,  // half the body, then the connection closes
  kStatus500,    // an error status with a small HTML body
  kStatus503,
  kNotFoundPage,       // 404 with an HTML page
  kIgnoreRange,        // 200 with the whole file
  kWrongContentRange,  // 206 naming (and sending) the range one byte later
  kShortBody,          // 206 with the right Content-Range but a shorter body, framed correctly
  kStall,              // half the body, then nothing until the client gives up
};

class RangeFileServer {
 public:
  struct Options {
    bool tls = false;
    std::string certificateFile;
    std::string keyFile;
    bool lowerCaseHeaders = false;
    bool ipv6 = false;  // on ::1 alone
  };

  // Serves the file with the strong ETag "1" until Replace says otherwise.
  explicit RangeFileServer(std::string content) : RangeFileServer(std::move(content), Options()) {}
  RangeFileServer(std::string content, const Options& options);

  // Called for every ranged GET; attempt counts earlier requests for the same first byte.
  void SetScript(std::function<RangeFault(uint64_t firstByte, int attempt)> script);

  // The file changes on the server; an ETag, when given, is sent with every
  // reply and a ranged GET whose If-Range differs gets the whole new file.
  void Replace(std::string content, std::string etag);
  // A ranged GET from firstByte is answered only once this many GETs for
  // other ranges have arrived (or after 20 s); PartWasHeld tells which.
  void HoldRange(uint64_t firstByte, int otherRangeRequests);
  bool HeldRangeSawTheOthers() const { return m_heldSawOthers; }

  // "/file.bin" serves the file; "/moved" answers 302 to it with a body of
  // its own; "/loop" answers 302 to itself.
  std::string Url(const std::string& path = "/file.bin") const { return m_server->BaseUrl() + path; }
  std::string Content() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_content;
  }

  int HeadRequests() const { return m_heads; }
  int RangeRequests(uint64_t firstByte) const;
  int MaxConcurrentTransfers() const { return m_maxInFlight; }
  TestHttpServer& Server() { return *m_server; }

  static constexpr char kMovedBody[] = "<html><body>Moved to /file.bin</body></html>";

 private:
  void Handle(const TestHttpRequest& request, TestHttpConnection& connection);

  Options m_options;
  mutable std::mutex m_mutex;
  std::condition_variable m_rangeArrived;
  std::string m_content;             // guarded by m_mutex
  std::string m_etag;                // guarded by m_mutex
  int m_otherRangeRequests = 0;      // guarded by m_mutex
  uint64_t m_heldFirstByte = ~0ull;  // guarded by m_mutex
  int m_holdUntil = 0;               // guarded by m_mutex
  std::atomic<bool> m_heldSawOthers{false};
  std::function<RangeFault(uint64_t, int)> m_script;  // guarded by m_mutex
  std::map<uint64_t, int> m_rangeRequests;            // guarded by m_mutex
  std::atomic<int> m_heads{0};
  std::atomic<int> m_inFlight{0};
  std::atomic<int> m_maxInFlight{0};
  std::unique_ptr<TestHttpServer> m_server;  // last: its threads use the fields above
};
