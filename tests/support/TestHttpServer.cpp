#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

std::string TestHttpRequest::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return header.second;
  }
  return std::string();
}

const char* TestHttpReason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

bool TestHttpConnection::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put;
    if (m_ssl != nullptr) {
      put = SSL_write(m_ssl, bytes.data() + done, static_cast<int>(bytes.size() - done));
      if (put <= 0) {
        m_closed = true;
        return false;
      }
    } else {
#ifdef MSG_NOSIGNAL
      put = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
#else
      put = send(m_fd, bytes.data() + done, bytes.size() - done, 0);  // SO_NOSIGPIPE is set on accept
#endif
    }
    if (put < 0) {
      if (errno == EINTR) continue;
      m_closed = true;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

bool TestHttpConnection::SendResponse(int status, const std::string& body, const std::string& extraHeaders,
                                      bool headOnly) {
  std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + TestHttpReason(status) + "\r\n";
  reply += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  reply += extraHeaders;
  reply += "\r\n";
  if (!headOnly) reply += body;
  return Send(reply);
}

void TestHttpConnection::WaitForPeer(std::chrono::milliseconds timeout) {
  pollfd entry{};
  entry.fd = m_fd;
  entry.events = POLLIN | POLLRDHUP;
  while (poll(&entry, 1, static_cast<int>(timeout.count())) < 0 && errno == EINTR) {
  }
}

TestHttpServer::TestHttpServer(Handler handler, int port) : m_handler(std::move(handler)) { Start(port); }

TestHttpServer::TestHttpServer(Loopback loopback, Handler handler, int port)
    : m_handler(std::move(handler)), m_loopback(loopback) {
  Start(port);
}

TestHttpServer::TestHttpServer(Handler handler, const std::string& certificateFile, const std::string& keyFile,
                               int port)
    : m_handler(std::move(handler)) {
  // OpenSSL writes with plain write(), so a client that hangs up mid-reply
  // would end the test process with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  m_tls = SSL_CTX_new(TLS_server_method());
  if (m_tls == nullptr || SSL_CTX_use_certificate_chain_file(m_tls, certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(m_tls, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    fprintf(stderr, "TestHttpServer: cannot load %s / %s\n", certificateFile.c_str(), keyFile.c_str());
    abort();
  }
  Start(port);
}

long TestHttpServer::Receive(int fd, SSL* ssl, char* buffer, size_t size) {
  if (ssl != nullptr) return SSL_read(ssl, buffer, static_cast<int>(size));
  return recv(fd, buffer, size, 0);
}

void TestHttpServer::Start(int port) {
  const int family = m_loopback == kIPv6 ? AF_INET6 : AF_INET;
#ifdef SOCK_CLOEXEC
  m_listenFD = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  m_listenFD = socket(family, SOCK_STREAM, 0);
  fcntl(m_listenFD, F_SETFD, FD_CLOEXEC);
#endif
  int one = 1;
  setsockopt(m_listenFD, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_storage address{};
  socklen_t length;
  if (m_loopback == kIPv6) {
    setsockopt(m_listenFD, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    sockaddr_in6& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(v6);
  } else {
    sockaddr_in& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(v4);
  }
  if (bind(m_listenFD, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    fprintf(stderr, "TestHttpServer: cannot listen on %s port %d\n", m_loopback == kIPv6 ? "::1" : "127.0.0.1", port);
    abort();
  }
  listen(m_listenFD, 128);
  getsockname(m_listenFD, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(m_loopback == kIPv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                     : reinterpret_cast<sockaddr_in&>(address).sin_port);
  m_acceptThread = std::thread(&TestHttpServer::AcceptLoop, this);
}

TestHttpServer::~TestHttpServer() {
  m_stopping = true;
  shutdown(m_listenFD, SHUT_RDWR);
  m_acceptThread.join();
  close(m_listenFD);
  std::vector<std::thread> workers;
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> tls(m_tls, SSL_CTX_free);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int fd : m_openFDs) shutdown(fd, SHUT_RDWR);
    workers.swap(m_workers);
  }
  for (std::thread& worker : workers) worker.join();
}

std::string TestHttpServer::HostPort() const {
  return (m_loopback == kIPv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(m_port);
}

std::string TestHttpServer::BaseUrl() const { return (m_tls ? "https://" : "http://") + HostPort(); }

std::vector<TestHttpRequest> TestHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

bool TestHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_requestArrived.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void TestHttpServer::AcceptLoop() {
  for (;;) {
#if defined(HAVE_ACCEPT4) && defined(SOCK_CLOEXEC)
    const int fd = accept4(m_listenFD, nullptr, nullptr, SOCK_CLOEXEC);
#else
    const int fd = accept(m_listenFD, nullptr, nullptr);
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // shut down
    }
#ifdef SO_NOSIGPIPE
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof(one));
#endif
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) {
      close(fd);
      return;
    }
    m_openFDs.push_back(fd);
    m_workers.emplace_back(&TestHttpServer::Serve, this, fd);
  }
}

void TestHttpServer::Serve(int fd) {
  std::string buffer;
  char chunk[16384];
  bool open = true;
  std::unique_ptr<SSL, void (*)(SSL*)> ssl(nullptr, SSL_free);
  if (m_tls != nullptr) {
    ssl.reset(SSL_new(m_tls));
    SSL_set_fd(ssl.get(), fd);
    // A client that rejects the certificate ends the handshake here.
    if (SSL_accept(ssl.get()) != 1) {
      ERR_clear_error();
      open = false;
    }
  }
  while (open && !m_stopping) {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      const long got = Receive(fd, ssl.get(), chunk, sizeof(chunk));
      if (got <= 0) {
        open = false;
        break;
      }
      buffer.append(chunk, static_cast<size_t>(got));
    }
    if (!open) break;

    TestHttpRequest request;
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t firstSpace = requestLine.find(' ');
    const size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    while (lineEnd != std::string::npos) {
      const size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      request.headers.emplace_back(line.substr(0, colon), value);
    }
    // Request bodies are not used by the installer; skip any that arrives.
    const size_t bodyLength = static_cast<size_t>(atoll(request.Header("Content-Length").c_str()));
    while (buffer.size() < bodyLength) {
      const long got = Receive(fd, ssl.get(), chunk, sizeof(chunk));
      if (got <= 0) break;
      buffer.append(chunk, static_cast<size_t>(got));
    }
    buffer.erase(0, std::min(bodyLength, buffer.size()));

    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(request);
    }
    m_requestArrived.notify_all();

    TestHttpConnection connection(fd, ssl.get());
    m_handler(request, connection);
    if (connection.IsClosed() || strcasecmp(request.Header("Connection").c_str(), "close") == 0) open = false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_openFDs.erase(std::remove(m_openFDs.begin(), m_openFDs.end(), fd), m_openFDs.end());
  shutdown(fd, SHUT_RDWR);
  close(fd);
}
