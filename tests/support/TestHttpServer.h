// TestHttpServer: a real HTTP/1.1 server on 127.0.0.1 (or ::1) for tests, with the
// reply scripted per request. The handler writes raw bytes, so a test can
// send any status, wrong headers, a short body, or drop the connection.
// Given a certificate and key, it speaks HTTPS instead.
//
//   TestHttpServer server([](const TestHttpRequest& request, TestHttpConnection& connection) {
//     connection.SendResponse(204, "");
//   });
//   curl(server.BaseUrl() + "/t2o/ping");
//   server.WaitForRequests(1);
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

struct TestHttpRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  // Case-insensitive lookup; empty when absent.
  std::string Header(const std::string& name) const;
};

class TestHttpConnection {
 public:
  explicit TestHttpConnection(int fd, SSL* ssl = nullptr) : m_fd(fd), m_ssl(ssl) {}
  // False when the peer has gone.
  bool Send(const std::string& bytes);
  // A complete reply with Content-Length; extra header lines end in "\r\n".
  bool SendResponse(int status, const std::string& body, const std::string& extraHeaders = "", bool headOnly = false);
  // Ends the connection after this request (no keep-alive).
  void Close() { m_closed = true; }
  bool IsClosed() const { return m_closed; }
  // Blocks until the client closes or sends more, or the time-out passes:
  // a stalled reply that ends as soon as the client gives up.
  void WaitForPeer(std::chrono::milliseconds timeout);

 private:
  int m_fd;
  SSL* m_ssl;
  bool m_closed = false;
};

class TestHttpServer {
 public:
  using Handler = std::function<void(const TestHttpRequest&, TestHttpConnection&)>;

  enum Loopback { kIPv4, kIPv6 };

  // Port 0 picks a free port.
  explicit TestHttpServer(Handler handler, int port = 0);
  // On ::1 alone (kIPv6) or 127.0.0.1.
  TestHttpServer(Loopback loopback, Handler handler, int port = 0);
  // HTTPS with the PEM certificate chain and key.
  TestHttpServer(Handler handler, const std::string& certificateFile, const std::string& keyFile, int port = 0);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int Port() const { return m_port; }
  // "127.0.0.1:PORT" or "[::1]:PORT"
  std::string HostPort() const;
  // "http://127.0.0.1:PORT" (or https)
  std::string BaseUrl() const;

  std::vector<TestHttpRequest> Requests() const;
  // Waits until at least count requests arrived; false after the time-out.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

 private:
  void AcceptLoop();
  void Start(int port);
  void Serve(int fd);
  long Receive(int fd, SSL* ssl, char* buffer, size_t size);

  Handler m_handler;
  Loopback m_loopback = kIPv4;
  SSL_CTX* m_tls = nullptr;
  int m_listenFD = -1;
  int m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::thread m_acceptThread;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_requestArrived;
  std::vector<TestHttpRequest> m_requests;  // guarded by m_mutex
  std::vector<std::thread> m_workers;       // guarded by m_mutex
  std::vector<int> m_openFDs;               // guarded by m_mutex
};

// Status line text for the codes tests use.
const char* TestHttpReason(int status);
