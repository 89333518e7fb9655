// The curl utilities: header and URL parsing, the callbacks' arithmetic and
// abort handling, and the debug log, the last over a real transfer.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KWException.h"
#include "KWInternet.h"
#include "KWLCCloudUtils.h"
#include "KWSystemUtils.h"
#include "TestHttpServer.h"
#include "TestUtil.h"

using namespace KWLCCloudUtils;

namespace {

TEST(ResponseHeaderTest, FindsTheFirstExactNameWithTextAfterColonAndSpace) {
  const std::vector<KWString> lines =
      GetResponseHeaders("HTTP/1.1 200 OK\r\nContent-Length: 1234\r\nX: y\r\nContent-Length: 99\r\n\r\n", 0);
  EXPECT_EQ(GetResponseHeader("Content-Length", lines).GetUInt64Value(), 1234u);
  EXPECT_EQ(GetResponseHeader("Content-Length", lines), KWString("1234\r"));  // the carriage return stays
  EXPECT_EQ(GetResponseHeader("content-length", lines), KWString());
  EXPECT_EQ(GetResponseHeader("Content-Length", {"Content-Length: "}), KWString());
  EXPECT_EQ(GetResponseHeader("Content-Length", {"Content-Length:"}), KWString());
  EXPECT_EQ(GetResponseHeader("Content-Length", {"Content-Length: 7"}), KWString("7"));
  EXPECT_EQ(GetResponseHeader("Missing", lines), KWString());
  EXPECT_EQ(GetResponseHeaders("a\nb", 2).size(), 1u);
  EXPECT_EQ(GetResponseHeaders("a\nb", 99).size(), 1u);
}

TEST(ResponseHeaderTest, IgnoringCaseMatchesLowerCaseNames) {
  const std::vector<KWString> lines = {"HTTP/2 200", "content-length: 1234", "CONTENT-LENGTH: 5"};
  EXPECT_EQ(GetResponseHeaderIgnoringCase("Content-Length", lines), KWString("1234"));
  EXPECT_EQ(GetResponseHeaderIgnoringCase("Content-Lengthx", lines), KWString());
}

TEST(ContentRangeTest, AcceptsOnlyWellFormedRanges) {
  uint64_t first = 0, last = 0, total = 0;
  EXPECT_TRUE(ParseContentRange("bytes 10-19/100", first, last, total));
  EXPECT_EQ(first, 10u);
  EXPECT_EQ(last, 19u);
  EXPECT_EQ(total, 100u);
  EXPECT_TRUE(ParseContentRange("bytes 0-0/*\r", first, last, total));
  EXPECT_EQ(total, 0u);
  for (const char* bad : {"", "bytes", "bytes 5-4/10", "bytes 0-10/10", "bytes */10", "items 0-1/2", "bytes 0-1/2x",
                          "bytes -1-2/3", "bytes 0-99999999999999999999/1", "bytes 1 -2/3"}) {
    EXPECT_FALSE(ParseContentRange(bad, first, last, total)) << bad;
  }
}

TEST(UrlTest, SplitsHostAndResource) {
  EXPECT_EQ(GetHostURL("https://h:8080/a/b.dmg"), KWString("h:8080"));
  EXPECT_EQ(GetResourceURL("https://h:8080/a/b.dmg"), KWString("/a/b.dmg"));
  EXPECT_EQ(GetHostURL("http://h/x"), KWString("h"));
  EXPECT_EQ(GetHostURL("h:1"), KWString("h:1"));
  EXPECT_EQ(GetHostURL("http:///x"), KWString("/x"));
  EXPECT_EQ(GetResourceURL("http://h"), KWString());
  EXPECT_EQ(GetResourceURL(""), KWString());
}

TEST(HeaderListTest, ClientHeadersComeInOrderWithoutSpaces) {
  std::vector<KWString> headers{"Existing:1"};
  AddAuthorizationHeaders(headers, KWLCCloudParams());
  const std::vector<KWString> expected{"Existing:1",
                                       "MachineGuid:0",
                                       "ClientName:CLV-Installer",
                                       "ClientVersion:1.0.0.0",
                                       "ClientPlatform:" + KWSystemUtils::GetPlatformName(),
                                       "ClientInstallerPlatform:osx"};
  EXPECT_EQ(headers, expected);
  KWLCCloudParams params;
  EXPECT_EQ(GetHTTPOrHTTPS(params), KWString("https://"));
  params.m_useHTTPS = false;
  EXPECT_EQ(GetHTTPOrHTTPS(params), KWString("http://"));
}

TEST(CallbackTest, NullHandlesAndRecordsAreRefused) {
  KWLCCloudParams params;
  curl_slist* list = nullptr;
  EXPECT_THROW(AddDefaultCurlSettings(nullptr, params, 1), KWLCException);
  EXPECT_THROW(CurlCreateHeaderList({"A:b"}, list, nullptr), KWLCException);
  EXPECT_THROW(CurlEnableSSLVerifyIfNeeded(params, nullptr), KWLCException);
  EXPECT_THROW(CurlSetProxySettings(params, nullptr), KWLCException);
  EXPECT_EQ(list, nullptr);
  char byte = 'x';
  EXPECT_EQ(CurlStringWriteCallback(&byte, 1, 1, nullptr), 0u);
  EXPECT_EQ(CurlFileWriteCallback(&byte, 1, 1, nullptr), 0u);
  EXPECT_EQ(CurlFileReadCallback(&byte, 1, 1, nullptr), static_cast<size_t>(CURL_READFUNC_ABORT));
  EXPECT_EQ(CurlProgressCallback(nullptr, 1, 1, 0, 0), 0);
}

class PercentRecorder : public IKWLCCurlProgressCallback {
 public:
  bool OnProgress(const void* data, const int& percent) const override {
    m_data = data;
    m_percent = percent;
    return m_answer;
  }
  mutable const void* m_data = nullptr;
  mutable int m_percent = -1;
  bool m_answer = true;
};

TEST(CallbackTest, ProgressIsAWholePercentRoundedHalfUp) {
  KWAbortFlag abort{false};
  PercentRecorder recorder;
  CurlProgressCallbackData data(abort);
  data.m_progressCallback = &recorder;
  data.m_progressCallbackData = &recorder;
  data.m_isUpload = false;
  const struct {
    double total, now;
    int percent;
  } cases[] = {{0, 0, 0}, {0, 50, 0}, {3, 2, 67}, {200, 1, 1}, {200, 200, 100}, {1000, 4, 0}, {1000, 5, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(CurlProgressCallback(&data, c.total, c.now, 1000, 1000), 0);
    EXPECT_EQ(recorder.m_percent, c.percent) << c.total << " " << c.now;
  }
  EXPECT_EQ(recorder.m_data, &recorder);
  data.m_isUpload = true;  // the upload counters then count
  CurlProgressCallback(&data, 3, 3, 4, 1);
  EXPECT_EQ(recorder.m_percent, 25);

  recorder.m_answer = false;
  EXPECT_EQ(CurlProgressCallback(&data, 3, 1, 0, 0), 1);
  recorder.m_answer = true;
  abort = true;
  recorder.m_percent = -1;
  EXPECT_EQ(CurlProgressCallback(&data, 3, 1, 0, 0), 1);
  EXPECT_EQ(recorder.m_percent, -1);
}

TEST(CallbackTest, WritesAndReadsStopOnAbort) {
  ScopedTempDir dir;
  KWAbortFlag abort{false};
  char text[] = "abcdef";

  CurlStringWriteCallbackData inMemory(abort);
  EXPECT_EQ(CurlStringWriteCallback(text, 2, 3, &inMemory), 6u);
  abort = true;
  EXPECT_EQ(CurlStringWriteCallback(text, 1, 6, &inMemory), 0u);
  EXPECT_EQ(inMemory.m_data, "abcdef");
  abort = false;

  CurlFileWriteCallbackData toFile(abort);
  toFile.m_file = KWFile(dir.File("out").c_str());
  EXPECT_EQ(CurlFileWriteCallback(text, 1, 3, &toFile), 3u);
  EXPECT_EQ(CurlFileWriteCallback(text + 3, 1, 3, &toFile), 3u);
  EXPECT_EQ(ReadFileBytes(dir.File("out")), "abcdef");  // on disk after every block
  EXPECT_EQ(toFile.m_bytesWritten, 6u);
  toFile.m_maxBytes = 7;
  EXPECT_EQ(CurlFileWriteCallback(text, 1, 2, &toFile), 0u);  // would exceed the asked length
  EXPECT_EQ(ReadFileBytes(dir.File("out")), "abcdef");
  CurlFileWriteCallbackData nowhere(abort);
  nowhere.m_file = KWFile(dir.File("missing/out").c_str());
  EXPECT_EQ(CurlFileWriteCallback(text, 1, 1, &nowhere), 0u);

  CurlFileReadCallbackData fromFile(abort);
  fromFile.m_file = KWFile(dir.File("out").c_str());
  fromFile.m_fileOffset = 1;
  fromFile.m_bytesLeft = 4;
  char buffer[8] = {};
  EXPECT_EQ(CurlFileReadCallback(buffer, 1, 3, &fromFile), 3u);
  EXPECT_EQ(std::string(buffer, 3), "bcd");
  EXPECT_EQ(CurlFileReadCallback(buffer, 1, 8, &fromFile), 1u);
  EXPECT_EQ(buffer[0], 'e');
  EXPECT_EQ(CurlFileReadCallback(buffer, 1, 8, &fromFile), 0u);
  fromFile.m_bytesLeft = 10;  // more than the file holds
  EXPECT_EQ(CurlFileReadCallback(buffer, 1, 8, &fromFile), static_cast<size_t>(CURL_READFUNC_ABORT));
  abort = true;
  EXPECT_EQ(CurlFileReadCallback(buffer, 1, 8, &fromFile), static_cast<size_t>(CURL_READFUNC_ABORT));
}

// A real transfer with the common settings: the debug log shows headers, never bodies or credentials.
TEST(DebugLogTest, HeadersAreLoggedAndBodiesAreNot) {
  curl_global_init(CURL_GLOBAL_ALL);
  TestHttpServer server([](const TestHttpRequest&, TestHttpConnection& connection) {
    connection.SendResponse(200, "PRIVATE-BODY-BYTES", "X-Reply: seen\r\n");
  });
  LogCapture log;
  KWLCCloudParams params;
  params.m_useHTTPS = false;
  params.m_connectTimeoutMS = 1500;
  KWAbortFlag abort{false};
  CurlStringWriteCallbackData body(abort);
  std::vector<KWString> headers;
  AddAuthorizationHeaders(headers, params);
  headers.push_back("deviceToken:SECRET-DEVICE-TOKEN");
  curl_slist* list = nullptr;
  CURL* curl = curl_easy_init();
  AddDefaultCurlSettings(curl, params, 0);
  CurlCreateHeaderList(headers, list, curl);
  curl_easy_setopt(curl, CURLOPT_URL, (server.BaseUrl() + "/x").c_str());
  // Through a proxy with a password, as a proxy variable's "user:password@" gives it.
  curl_easy_setopt(curl, CURLOPT_PROXY, server.BaseUrl().c_str());
  curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, "someone:SECRET-PROXY-PASSWORD");
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlStringWriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
  CurlHeadersCleanup(list);
  EXPECT_EQ(list, nullptr);
  curl_easy_cleanup(curl);

  EXPECT_EQ(body.m_data, "PRIVATE-BODY-BYTES");
  EXPECT_EQ(server.Requests().at(0).Header("ClientName"), "CLV-Installer");
  const int out = log.IndexOf("CURL LOG - HEADER_OUT::");
  ASSERT_GE(out, 0);
  EXPECT_EQ(log.Lines().at(out + 1), "GET " + server.BaseUrl() + "/x HTTP/1.1\r");
  EXPECT_GE(log.IndexOf("CURL LOG - HEADER_IN::"), 0);
  EXPECT_TRUE(log.Contains("X-Reply: seen"));
  EXPECT_FALSE(log.Contains("PRIVATE-BODY-BYTES"));
  // The server still gets the token; the log only its name.
  EXPECT_EQ(server.Requests().at(0).Header("deviceToken"), "SECRET-DEVICE-TOKEN");
  EXPECT_FALSE(log.Contains("SECRET-DEVICE-TOKEN"));
  EXPECT_TRUE(log.Contains("deviceToken: ***\r"));
  EXPECT_FALSE(server.Requests().at(0).Header("Proxy-Authorization").empty());
  EXPECT_FALSE(log.Contains("c29tZW9uZTpTRUNSRVQtUFJPWFktUEFTU1dPUkQ="));  // base64 of the credentials
  EXPECT_TRUE(log.Contains("Proxy-Authorization: ***\r"));
}

// Accepts connections on 127.0.0.1 and reads whatever arrives; never answers.
class RawListener {
 public:
  RawListener() {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(m_fd, 16) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen";
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      std::vector<int> clients;
      while (!m_stop) {
        std::vector<pollfd> waiters{{m_fd, POLLIN, 0}};
        for (int client : clients) waiters.push_back({client, POLLIN, 0});
        if (poll(waiters.data(), waiters.size(), 50) <= 0) continue;
        if (waiters[0].revents & POLLIN) {
          const int client = accept(m_fd, nullptr, nullptr);
          if (client >= 0) {
            clients.push_back(client);
            ++m_connections;
          }
        }
        char buffer[512];
        for (size_t i = 1; i < waiters.size(); ++i) {
          if (waiters[i].revents & POLLIN) {
            const ssize_t got = read(waiters[i].fd, buffer, sizeof(buffer));
            if (got > 0) m_bytes += static_cast<size_t>(got);
          }
        }
      }
      for (int client : clients) close(client);
    });
  }
  ~RawListener() {
    m_stop = true;
    m_thread.join();
    close(m_fd);
  }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
  int Connections() const { return m_connections; }
  size_t Bytes() const { return m_bytes; }

 private:
  int m_fd = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::atomic<size_t> m_bytes{0};
  std::thread m_thread;
};

// A URL from a server must not make libcurl speak another protocol: not
// asked for directly, not through a redirect, not through the platform GET.
TEST(ProtocolTest, OnlyHttpAndHttpsAreSpokenEvenAfterARedirect) {
  curl_global_init(CURL_GLOBAL_ALL);
  RawListener raw;
  ScopedTempDir dir;
  WriteFileBytes(dir.File("local.txt"), "local file");
  TestHttpServer redirecting([&raw](const TestHttpRequest&, TestHttpConnection& connection) {
    connection.SendResponse(302, "", "Location: gopher://" + raw.HostPort() + "/1x\r\n");
  });
  KWLCCloudParams params;
  params.m_useHTTPS = false;
  params.m_responseTimeoutMS = 3000;  // an unrestricted handle would wait on the silent listener
  KWAbortFlag abort{false};
  const std::vector<std::string> urls = {"gopher://" + raw.HostPort() + "/1selector",
                                         "dict://" + raw.HostPort() + "/d:word", "scp://" + raw.HostPort() + "/x",
                                         "file://" + dir.File("local.txt"), redirecting.BaseUrl() + "/moved"};
  for (const std::string& url : urls) {
    CURL* curl = curl_easy_init();
    CurlStringWriteCallbackData body(abort);
    curl_slist* list = nullptr;
    AddDefaultCurlSettings(curl, params, 1);
    CurlCreateHeaderList({}, list, curl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlStringWriteCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_UNSUPPORTED_PROTOCOL) << url;
    EXPECT_TRUE(body.m_data.empty()) << url;
    CurlHeadersCleanup(list);
    curl_easy_cleanup(curl);
    EXPECT_FALSE(IKWInternetFileDownloader::GetInstance(IFDProxyParams())->SendHTTPRequestToURL(url)) << url;
  }

  // An https transfer may be trusted for its TLS alone: its redirects stay on https.
  const std::string certs = CLIPVANE_TEST_CERT_DIR;
  TestHttpServer downgrading(
      [&raw](const TestHttpRequest&, TestHttpConnection& connection) {
        connection.SendResponse(302, "", "Location: http://" + raw.HostPort() + "/image.dmg\r\n");
      },
      certs + "/server.pem", certs + "/server.key");
  params.m_useHTTPS = true;
  params.m_caCertPath = KWPath(KWString(certs + "/ca.pem"));
  // libcurl takes the scheme in any case: so must the check.
  const std::string secure = downgrading.BaseUrl() + "/image.dmg";
  for (const std::string& url : {secure, "HTTPS" + secure.substr(5)}) {
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    AddDefaultCurlSettings(curl, params, 1);
    CurlEnableSSLVerifyForURL(url.c_str(), params, curl);
    CurlCreateHeaderList({}, list, curl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_UNSUPPORTED_PROTOCOL) << url;
    CurlHeadersCleanup(list);
    curl_easy_cleanup(curl);
  }
  EXPECT_EQ(downgrading.Requests().size(), 2u);

  EXPECT_EQ(raw.Connections(), 0);
  EXPECT_EQ(raw.Bytes(), 0u);
}

}  // namespace
