#include "transfer_test_server.h"

#include <cstdlib>

RangeFileServer::RangeFileServer(std::string content, const Options& options)
    : m_options(options), m_content(std::move(content)), m_etag("\"1\"") {
  auto handler = [this](const TestHttpRequest& request, TestHttpConnection& connection) {
    Handle(request, connection);
  };
  if (options.tls) {
    m_server.reset(new TestHttpServer(handler, options.certificateFile, options.keyFile));
  } else {
    m_server.reset(new TestHttpServer(options.ipv6 ? TestHttpServer::kIPv6 : TestHttpServer::kIPv4, handler));
  }
}

void RangeFileServer::SetScript(std::function<RangeFault(uint64_t, int)> script) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_script = std::move(script);
}

void RangeFileServer::Replace(std::string content, std::string etag) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_content = std::move(content);
  m_etag = std::move(etag);
}

void RangeFileServer::HoldRange(uint64_t firstByte, int otherRangeRequests) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_heldFirstByte = firstByte;
  m_holdUntil = otherRangeRequests;
}

int RangeFileServer::RangeRequests(uint64_t firstByte) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto found = m_rangeRequests.find(firstByte);
  return found == m_rangeRequests.end() ? 0 : found->second;
}

void RangeFileServer::Handle(const TestHttpRequest& request, TestHttpConnection& connection) {
  const std::string lengthName = m_options.lowerCaseHeaders ? "content-length" : "Content-Length";
  std::string content, etag;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    content = m_content;
    etag = m_etag.empty() ? std::string() : "ETag: " + m_etag + "\r\n";
  }
  const std::string size = std::to_string(content.size());
  if (request.target == "/moved") {
    // The redirect carries a length of its own, for its own small body.
    connection.Send(
        "HTTP/1.1 302 Found\r\nLocation: /file.bin\r\nContent-Length: " + std::to_string(sizeof(kMovedBody) - 1) +
        "\r\n\r\n" + (request.method == "HEAD" ? std::string() : std::string(kMovedBody)));
    return;
  }
  if (request.target == "/loop") {
    connection.Send("HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  if (request.target != "/file.bin") {
    connection.SendResponse(404, "<html><body>Not Found</body></html>", "Content-Type: text/html\r\n",
                            request.method == "HEAD");
    return;
  }
  if (request.method == "HEAD") {
    ++m_heads;
    connection.Send("HTTP/1.1 200 OK\r\n" + lengthName + ": " + size + "\r\naccept-ranges: bytes\r\n" + etag + "\r\n");
    return;
  }
  const std::string range = request.Header("Range");
  const std::string ifRange = request.Header("If-Range");
  if (range.compare(0, 6, "bytes=") != 0 || (!ifRange.empty() && "ETag: " + ifRange + "\r\n" != etag)) {
    connection.SendResponse(200, content, etag);
    return;
  }
  const uint64_t first = strtoull(range.c_str() + 6, nullptr, 10);
  const uint64_t last =
      std::min<uint64_t>(strtoull(range.c_str() + range.find('-') + 1, nullptr, 10), content.size() - 1);
  RangeFault fault = RangeFault::kNone;
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    const int attempt = m_rangeRequests[first]++;
    if (m_script) fault = m_script(first, attempt);
    if (first == m_heldFirstByte) {
      m_heldSawOthers = m_rangeArrived.wait_for(lock, std::chrono::seconds(20),
                                                [this] { return m_otherRangeRequests >= m_holdUntil; });
    } else {
      ++m_otherRangeRequests;
      m_rangeArrived.notify_all();
    }
  }
  const int inFlight = ++m_inFlight;
  int seen = m_maxInFlight;
  while (inFlight > seen && !m_maxInFlight.compare_exchange_weak(seen, inFlight)) {
  }

  const auto partial = [&](uint64_t from, uint64_t to, uint64_t bodyLength) {
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" + std::to_string(to) +
           "/" + size + "\r\n" + etag + lengthName + ": " + std::to_string(bodyLength) + "\r\n\r\n";
  };
  const uint64_t length = last - first + 1;
  const std::string body = content.substr(first, length);
  switch (fault) {
    case RangeFault::kNone:
      connection.Send(partial(first, last, length) + body);
      break;
    case RangeFault::kDropMidBody:
      connection.Send(partial(first, last, length) + body.substr(0, length / 2));
      connection.Close();
      break;
    case RangeFault::kStatus500:
      connection.SendResponse(500, "<html><body>Internal Server Error</body></html>", "Content-Type: text/html\r\n");
      break;
    case RangeFault::kStatus503:
      connection.SendResponse(503, "<html><body>Service Unavailable</body></html>", "Content-Type: text/html\r\n");
      break;
    case RangeFault::kNotFoundPage:
      connection.SendResponse(404, "<html><body>Not Found</body></html>", "Content-Type: text/html\r\n");
      break;
    case RangeFault::kIgnoreRange:
      connection.SendResponse(200, content);
      break;
    case RangeFault::kWrongContentRange: {
      const uint64_t shifted = std::min<uint64_t>(last + 1, content.size() - 1);
      const std::string shiftedBody = content.substr(first + 1, shifted - first);
      connection.Send(partial(first + 1, shifted, shiftedBody.size()) + shiftedBody);
      break;
    }
    case RangeFault::kShortBody:
      connection.Send(partial(first, last, length - 1) + body.substr(0, length - 1));
      break;
    case RangeFault::kStall:
      connection.Send(partial(first, last, length) + body.substr(0, length / 2));
      connection.WaitForPeer(std::chrono::seconds(30));
      connection.Close();
      break;
  }
  --m_inFlight;
}
