#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "KWSystemUtils.h"
#include "LCInstallerService.h"
#include "LCReleaseVerifier.h"
#include "TestDoubles.h"
#include "TestHttpServer.h"
#include "TestUtil.h"

namespace {

class IdleUI : public StubInstallerUI {
 public:
  IdleUI() { state = kLCInstallerStateHandshaking; }
};

class HandshakeService : public LCInstallerService {
 public:
  using LCInstallerService::DoHandshake;
  using LCInstallerService::LCInstallerService;
  using LCInstallerService::m_buildNumber;
  using LCInstallerService::m_downloadURL;
  using LCInstallerService::m_imageSHA256;
  using LCInstallerService::m_launchPath;
};

// The reply's own rules, in an unsigned build: the build's release keys are
// set aside unless a case asks for them.
class HandshakeTest : public ::testing::Test {
 protected:
  HandshakeTest() { LCInstallerService::SetReleaseVerifierForTesting(&m_unsigned); }
  ~HandshakeTest() override { LCInstallerService::SetReleaseVerifierForTesting(nullptr); }
  // Serves one fixed body for every request.
  void Serve(const std::string& body) { m_body = body; }
  bool Handshake() {
    KWLCCloudParams params;
    params.m_useHTTPS = false;
    params.m_host = "127.0.0.1";
    params.m_port = KWString().AppendNumber(m_server.Port());
    return m_service.DoHandshake(params);
  }

  LCReleaseVerifier m_unsigned{"", ""};
  std::string m_body;
  LogCapture m_log;
  IdleUI m_ui;
  CountingExceptionHandler m_handler;
  HandshakeService m_service{m_ui, m_handler};
  TestHttpServer m_server{[this](const TestHttpRequest&, TestHttpConnection& connection) {
    connection.SendResponse(200, m_body, "Content-Type: application/json\r\n");
  }};
};

TEST_F(HandshakeTest, SendsOneGetWithTheNineHeadersInOrder) {
  Serve(R"({"result":"success"})");
  ASSERT_TRUE(Handshake());
  const std::vector<TestHttpRequest> requests = m_server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/handshake");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"MachineGuid", "0"},
      {"ClientName", "CLV-Installer"},
      {"ClientVersion", "1.0.0.0"},
      {"ClientPlatform", KWSystemUtils::GetPlatformName().GetUTF8String()},
      {"ClientInstallerPlatform", "osx"},
      {"deviceToken", KWSystemUtils::GetDeviceToken().GetUTF8String()},
      {"numberofProjects", "0"},
      {"OSVersion", KWSystemUtils::GetOSVersion().GetUTF8String()},
      {"ClientCampaign", "cnet"},
  };
  std::vector<std::pair<std::string, std::string>> ours;
  for (const auto& header : requests[0].headers) {
    for (const auto& wanted : expected) {
      if (header.first == wanted.first) ours.push_back(header);
    }
  }
  EXPECT_EQ(ours, expected);
}

TEST_F(HandshakeTest, SuccessStoresUrlBuildAndLaunchPathFromAnyDepth) {
  Serve(R"({"result":"success","clvdownloadUrl":"U","clvinstallPath":"/Applications/P.app","clvbuildNumber":"B"})");
  ASSERT_TRUE(Handshake());
  EXPECT_EQ(m_service.m_downloadURL, "U");
  EXPECT_EQ(m_service.m_buildNumber, "B");
  EXPECT_EQ(m_service.m_launchPath, KWPath("/Applications/P.app"));
  EXPECT_TRUE(m_service.m_imageSHA256.empty());

  // Keys are matched by name at any depth; where a name repeats, the last one
  // met in the sorted depth-first walk wins ("a" < "result" < "z"). Our own
  // "sha256" counts only at the top level, kept in lower case: a nested empty
  // one once erased a good digest and the image went unverified.
  Serve(R"({"z":{"clvdownloadUrl":"late","sha256":""},"sha256":")" + std::string(64, 'A') +
        R"(","payload":{"deeper":{"clvbuildNumber":"B2","clvinstallPath":"P2"}},
            "result":"success","a":{"clvdownloadUrl":"early"},"list":[{"clvbuildNumber":"in array"}]})");
  ASSERT_TRUE(Handshake());
  EXPECT_EQ(m_service.m_downloadURL, "late");
  EXPECT_EQ(m_service.m_buildNumber, "B2");
  EXPECT_EQ(m_service.m_launchPath, KWPath("P2"));
  EXPECT_EQ(m_service.m_imageSHA256, std::string(64, 'a'));
}

TEST_F(HandshakeTest, BadRepliesFailAndKeepThePreviousValues) {
  Serve(R"({"result":"success","clvdownloadUrl":"U","clvinstallPath":"P","clvbuildNumber":"B"})");
  ASSERT_TRUE(Handshake());

  struct Case {
    const char* body;
    const char* logLine;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string deepObject = [] {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "{\"k\":";
    text += "1";
    for (int i = 0; i < 5000; ++i) text += "}";
    return text;
  }();
  const std::vector<Case> cases = {
      {R"({"result":"failure","clvdownloadUrl":"X"})", "DoHandshake, errorCode:failure."},
      {R"({"result":true,"clvdownloadUrl":"X"})", "DoHandshake, errorCode:."},
      {R"({"clvdownloadUrl":"X"})", "DoHandshake, errorCode:."},
      {R"({"result":"success","clvdownloadUrl":"X","sha256":"12ab"})",
       "DoHandshake, malformed sha256 \"12ab\", reply refused"},
      // Present but unusable is refused, never read as "no digest".
      {R"({"result":"success","clvdownloadUrl":"X","sha256":""})", "DoHandshake, malformed sha256 \"\", reply refused"},
      {R"({"result":"success","clvdownloadUrl":"X","sha256":null})",
       "DoHandshake, malformed sha256 is not a string, reply refused"},
      {R"({"result":"success","clvdownloadUrl":"X","sha256":7})",
       "DoHandshake, malformed sha256 is not a string, reply refused"},
      {R"({"result":"success","clvdownloadUrl":"X","size":"7"})",
       "DoHandshake, malformed size is not a positive whole number, reply refused"},
      {R"({"result":"success","clvdownloadUrl":"X","signature":""})",
       "DoHandshake, malformed signature is not a non-empty string, reply refused"},
      {"<html><body>502 Bad Gateway</body></html>", "DoHandshake, Caught unknown exception."},
      {"", "DoHandshake, Caught unknown exception."},
      {deep.c_str(), "DoHandshake, Caught unknown exception."},
      {deepObject.c_str(), "DoHandshake, Caught unknown exception."},
  };
  for (const Case& c : cases) {
    Serve(c.body);
    EXPECT_FALSE(Handshake()) << std::string(c.body).substr(0, 60);
    EXPECT_TRUE(m_log.Contains(c.logLine)) << c.logLine;
  }
  EXPECT_EQ(m_service.m_downloadURL, "U");
  EXPECT_EQ(m_service.m_buildNumber, "B");
  EXPECT_EQ(m_service.m_launchPath, KWPath("P"));

  // The build's own keys: a reply that was good unsigned is now refused.
  if (LCReleaseVerifier::CompiledIn().IsSigned()) {
    LCInstallerService::SetReleaseVerifierForTesting(nullptr);
    Serve(R"({"result":"success","clvdownloadUrl":"X","clvinstallPath":"/X","clvbuildNumber":"1"})");
    EXPECT_FALSE(Handshake());
    EXPECT_TRUE(m_log.Contains("DoHandshake, release refused: the reply is not signed"));
    EXPECT_EQ(m_service.m_downloadURL, "U");
  }
}

TEST_F(HandshakeTest, WrongTypesLeaveFieldsEmptyButSucceed) {
  Serve(R"({"result":"success","clvdownloadUrl":42,"clvinstallPath":null,"clvbuildNumber":["B"]})");
  EXPECT_TRUE(Handshake());
  EXPECT_TRUE(m_service.m_downloadURL.empty());
  EXPECT_TRUE(m_service.m_buildNumber.empty());
  EXPECT_TRUE(m_service.m_launchPath.IsEmpty());
}

TEST_F(HandshakeTest, OversizedReplyIsRejected) {
  Serve(R"({"result":"success","clvdownloadUrl":")" + std::string(2 * 1024 * 1024, 'x') + "\"}");
  EXPECT_FALSE(Handshake());
  EXPECT_TRUE(m_log.Contains("DoHandshake, reply larger than 1048576 bytes, rejected"));
  EXPECT_TRUE(m_service.m_downloadURL.empty());
}

TEST_F(HandshakeTest, ExitRequestedSendsNothing) {
  Serve(R"({"result":"success"})");
  m_ui.exitRequested = true;
  EXPECT_FALSE(Handshake());
  EXPECT_TRUE(m_server.Requests().empty());
  EXPECT_NE(m_log.IndexOf("DoHandshake, failed with res=0"), -1);
}

TEST_F(HandshakeTest, UnreachableServiceFailsWithCurlCode) {
  KWLCCloudParams params;
  params.m_useHTTPS = false;
  params.m_host = "127.0.0.1";
  params.m_port = "1";
  EXPECT_FALSE(m_service.DoHandshake(params));
  EXPECT_NE(m_log.IndexOf("DoHandshake, failed with res=7"), -1);
}

// A server that takes the request and then says nothing ends the attempt
// after the silence limit, long before the whole attempt's 60 s.
TEST_F(HandshakeTest, ASilentServerEndsTheAttemptAtTheSilenceLimit) {
  TestHttpServer silent([](const TestHttpRequest&, TestHttpConnection& connection) {
    connection.WaitForPeer(std::chrono::seconds(90));
    connection.Close();
  });
  KWLCCloudParams params;
  params.m_useHTTPS = false;
  params.m_host = "127.0.0.1";
  params.m_port = KWString().AppendNumber(silent.Port());
  EXPECT_FALSE(m_service.DoHandshake(params));
  EXPECT_NE(m_log.IndexOf("DoHandshake, failed with res=28"), -1);
  EXPECT_TRUE(m_log.Contains("Less than 1 bytes/sec transferred the last 10 seconds"));
}

// IPv4 first, as always; a host that IPv4 cannot reach (an IPv6-only
// network) is tried once more with both families.
TEST_F(HandshakeTest, AHostOnlyIPv6ReachesIsTriedAgainWithBothFamilies) {
  const auto reply = [](const char* url) {
    return [url](const TestHttpRequest&, TestHttpConnection& connection) {
      connection.SendResponse(200, std::string(R"({"result":"success","clvdownloadUrl":")") + url + "\"}");
    };
  };
  TestHttpServer v6(TestHttpServer::kIPv6, reply("v6"));
  KWLCCloudParams params;
  params.m_useHTTPS = false;
  params.m_port = KWString().AppendNumber(v6.Port());
  for (const char* host : {"localhost", "[::1]"}) {
    params.m_host = host;
    m_service.m_downloadURL = "";
    EXPECT_TRUE(m_service.DoHandshake(params)) << host;
    EXPECT_EQ(m_service.m_downloadURL, "v6");
    EXPECT_TRUE(m_log.Contains(std::string("handshake: no IPv4 address or route for http://") + host + ":" +
                               std::to_string(v6.Port()) + "/handshake (curl 7), trying IPv6 as well"));
  }
  EXPECT_EQ(v6.Requests().size(), 2u);

  // Both families served: IPv4 answers, and IPv6 is not tried.
  TestHttpServer v4(reply("v4"));
  TestHttpServer v6Beside(TestHttpServer::kIPv6, reply("v6"), v4.Port());
  params.m_host = "localhost";
  params.m_port = KWString().AppendNumber(v4.Port());
  const size_t linesBefore = m_log.Lines().size();
  EXPECT_TRUE(m_service.DoHandshake(params));
  EXPECT_EQ(m_service.m_downloadURL, "v4");
  EXPECT_TRUE(v6Beside.Requests().empty());
  const std::vector<std::string> lines = m_log.Lines();
  for (size_t i = linesBefore; i < lines.size(); ++i) EXPECT_EQ(lines[i].find("trying IPv6"), std::string::npos);
}

TEST_F(HandshakeTest, HttpsReplyIsTrustedOnlyThroughTheGivenCA) {
  const std::string certs = CLIPVANE_TEST_CERT_DIR;
  TestHttpServer tls(
      [](const TestHttpRequest&, TestHttpConnection& connection) {
        connection.SendResponse(200, R"({"result":"success","clvdownloadUrl":"https-U"})");
      },
      certs + "/server.pem", certs + "/server.key");
  KWLCCloudParams params;  // https by default
  params.m_host = "127.0.0.1";
  params.m_port = KWString().AppendNumber(tls.Port());
  params.m_caCertPath = KWPath(KWString(certs + "/ca.pem"));
  EXPECT_TRUE(m_service.DoHandshake(params));
  EXPECT_EQ(m_service.m_downloadURL, "https-U");
  // TLS records appear as their size: the log stays text, and the device
  // token goes to the server only.
  const int record = m_log.IndexOf("CURL LOG - UNKNOWN_TYPE::");
  ASSERT_GE(record, 0);
  EXPECT_TRUE(std::regex_match(m_log.Lines().at(record + 1), std::regex("[0-9]+ bytes")));
  for (const std::string& line : m_log.Lines()) {
    for (const unsigned char c : line) ASSERT_TRUE(c >= 0x20 || c == '\t' || c == '\r') << line;
  }
  EXPECT_FALSE(m_log.Contains(KWSystemUtils::GetDeviceToken().GetUTF8String()));

  // The system's trust store does not know the test CA.
  params.m_caCertPath = KWPath("/etc/ssl/certs/ca-certificates.crt");
  m_service.m_downloadURL = "";
  EXPECT_FALSE(m_service.DoHandshake(params));
  EXPECT_NE(m_log.IndexOf("DoHandshake, failed with res=60"), -1);
  EXPECT_FALSE(m_log.Contains("trying the system's roots")) << "only a signed build looks beyond the bundle";
  EXPECT_TRUE(m_service.m_downloadURL.empty());
}

TEST_F(HandshakeTest, CertificateForAnotherHostIsRejected) {
  const std::string certs = CLIPVANE_TEST_CERT_DIR;
  TestHttpServer tls([](const TestHttpRequest&,
                        TestHttpConnection& connection) { connection.SendResponse(200, R"({"result":"success"})"); },
                     certs + "/wronghost.pem", certs + "/wronghost.key");
  KWLCCloudParams params;
  params.m_host = "127.0.0.1";
  params.m_port = KWString().AppendNumber(tls.Port());
  params.m_caCertPath = KWPath(KWString(certs + "/ca.pem"));
  EXPECT_FALSE(m_service.DoHandshake(params));
  EXPECT_NE(m_log.IndexOf("DoHandshake, failed with res=60"), -1);
}

}  // namespace
