#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "KWException.h"
#include "LCInstallerAnalytics.h"
#include "TestDoubles.h"
#include "TestHttpServer.h"
#include "TestUtil.h"

namespace {

const char* const kIdFolder = "/share/Ostrel/Access Ostrel Resource 11.0";

// Every test gets its own home: application data, preferences and the id file
// live in a fresh temporary folder, and pings go to a local server.
class AnalyticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", (m_home.Path() + "/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (m_home.Path() + "/config").c_str(), 1);
    LCInstallerAnalytics::SetServerHostForTesting(m_server.HostPort());
  }
  void TearDown() override {
    LCInstallerAnalytics::SetServerHostForTesting("");
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
  }

  std::string IdFile() const { return m_home.Path() + kIdFolder + "/userid.txt"; }
  void SendAndStop(const std::vector<std::pair<std::string, std::string>>& events) {
    LCInstallerAnalytics::StartThread(m_handler);
    for (const auto& event : events) LCInstallerAnalytics::PingTalkToOstrelServer(event.first, event.second);
    LCInstallerAnalytics::StopThread();
  }
  std::vector<std::string> Targets() const {
    std::vector<std::string> targets;
    for (const TestHttpRequest& request : m_server.Requests()) targets.push_back(request.target);
    return targets;
  }
  static std::string Query(const std::string& uid, const std::string& rest) {
    return "/t2o/ping?uid=" + uid + "&app=CLVInstallerT2O&" + rest + "&group=blank&version=1.0.0.0";
  }

  ScopedTempDir m_home;
  LogCapture m_log;
  CountingExceptionHandler m_handler;
  TestHttpServer m_server{
      [](const TestHttpRequest&, TestHttpConnection& connection) { connection.SendResponse(204, ""); }};
};

TEST_F(AnalyticsTest, SendsOneRequestPerEventInQueueOrderWithTheExactUrl) {
  SendAndStop({{"Launch", "osx 10.9.5"}, {"InstallBegin", "0"}, {"DownloadProgress", "45"}, {"EULAClicked", ""}});
  const std::string uid = ReadFileBytes(IdFile());
  ASSERT_EQ(uid.size(), 22u);
  EXPECT_EQ(Targets(), (std::vector<std::string>{
                           Query(uid, "name=Launch&value=osx%2010.9.5"),
                           Query(uid, "name=InstallBegin&value=0"),
                           Query(uid, "name=DownloadProgress&value=45"),
                           Query(uid, "name=EULAClicked&value="),
                       }));
  EXPECT_NE(m_log.IndexOf("TTO Launch osx 10.9.5"), -1);
  EXPECT_FALSE(m_log.Contains("TTO error"));
}

TEST_F(AnalyticsTest, EncodesEveryReservedByteOfNameAndValue) {
  EXPECT_EQ(LCInstallerAnalytics::PercentEncode("a-Z_0.9~"), "a-Z_0.9~");
  EXPECT_EQ(LCInstallerAnalytics::PercentEncode("a b&c=d/é?#%+"), "a%20b%26c%3Dd%2F%C3%A9%3F%23%25%2B");
}

TEST_F(AnalyticsTest, NewIdHasTwentyTwoCharactersAndIsReusedAfterwards) {
  SendAndStop({{"Launch", "x"}});
  const std::string first = ReadFileBytes(IdFile());
  EXPECT_TRUE(std::regex_match(first, std::regex("User[0-9]{14}rn[0-9]{2}"))) << first;
  SendAndStop({{"Launch", "y"}});
  EXPECT_EQ(ReadFileBytes(IdFile()), first);
  const std::vector<TestHttpRequest> requests = m_server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].target.find("uid=" + first + "&"), std::string::npos);
}

TEST_F(AnalyticsTest, StoredIdOfTwentyTwoCharactersIsKeptAnythingElseReplaced) {
  SendAndStop({{"Launch", "x"}});  // creates the folder
  const std::string kept = "User20261207120000rn42";
  WriteFileBytes(IdFile(), kept);
  SendAndStop({{"Launch", "x"}});
  EXPECT_EQ(ReadFileBytes(IdFile()), kept);

  for (const std::string& bad : {std::string(), std::string("User20261207120000rn4"),
                                 std::string("User20261207120000rn423"), std::string("x&name=Spoof&value=1#a")}) {
    WriteFileBytes(IdFile(), bad);
    SendAndStop({{"Launch", "x"}});
    const std::string replaced = ReadFileBytes(IdFile());
    EXPECT_TRUE(std::regex_match(replaced, std::regex("User[0-9]{14}rn[0-9]{2}"))) << "after '" << bad << "'";
  }
  EXPECT_EQ(m_server.Requests().back().target.find("Spoof"), std::string::npos);

  // A link is replaced, not followed; a FIFO neither blocks the pings nor stays.
  const std::string elsewhere = m_home.Path() + "/elsewhere.txt";
  WriteFileBytes(elsewhere, kept);
  ASSERT_EQ(unlink(IdFile().c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), IdFile().c_str()), 0);
  SendAndStop({{"Launch", "x"}});
  EXPECT_EQ(ReadFileBytes(elsewhere), kept);
  ASSERT_EQ(unlink(IdFile().c_str()), 0);
  ASSERT_EQ(mkfifo(IdFile().c_str(), 0600), 0);
  SendAndStop({{"Launch", "x"}});
  struct stat info;
  ASSERT_EQ(lstat(IdFile().c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));

  // A folder where the file goes can be neither read nor replaced: the run
  // keeps one id for all its pings all the same.
  ASSERT_EQ(unlink(IdFile().c_str()), 0);
  ASSERT_EQ(mkdir(IdFile().c_str(), 0700), 0);
  const size_t before = m_server.Requests().size();
  SendAndStop({{"Launch", "x"}, {"InstallBegin", "0"}, {"InstallDone", "0"}});
  const std::vector<TestHttpRequest> requests = m_server.Requests();
  ASSERT_EQ(requests.size(), before + 3);
  const std::regex uid("uid=(User[0-9]{14}rn[0-9]{2})&");
  std::smatch first, other;
  ASSERT_TRUE(std::regex_search(requests[before].target, first, uid)) << requests[before].target;
  for (size_t i = before + 1; i < requests.size(); ++i) {
    ASSERT_TRUE(std::regex_search(requests[i].target, other, uid)) << requests[i].target;
    EXPECT_EQ(other[1], first[1]);
  }
}

TEST_F(AnalyticsTest, OptOutFileStopsSendingButIdIsStillCreated) {
  ASSERT_EQ(system(("mkdir -p '" + m_home.Path() + "/config/Clipvane 11.0'").c_str()), 0);
  WriteFileBytes(m_home.Path() + "/config/Clipvane 11.0/disableTTO.txt", "");
  SendAndStop({{"Launch", "x"}, {"InstallBegin", "0"}});
  EXPECT_TRUE(m_server.Requests().empty());
  EXPECT_EQ(ReadFileBytes(IdFile()).size(), 22u);
  EXPECT_NE(m_log.IndexOf("TTO Launch x"), -1);
  EXPECT_FALSE(m_log.Contains("TTO error"));
}

TEST_F(AnalyticsTest, EmptyNameSendsNothing) {
  SendAndStop({{"", "value"}, {"Named", ""}});
  EXPECT_EQ(m_server.Requests().size(), 1u);
}

TEST_F(AnalyticsTest, StopDrainsQueuedEventsAndLaterEventsStayUnsent) {
  LCInstallerAnalytics::StartThread(m_handler);
  for (const char* name : {"One", "Two", "Three"}) LCInstallerAnalytics::PingTalkToOstrelServer(name, "1");
  LCInstallerAnalytics::StopThread();
  EXPECT_EQ(m_server.Requests().size(), 3u) << "Stop returns only after the queued events were sent";
  LCInstallerAnalytics::PingTalkToOstrelServer("Four", "1");
  EXPECT_EQ(m_server.Requests().size(), 3u);

  // Drain the leftover event against a closed port so later tests start clean.
  LCInstallerAnalytics::SetServerHostForTesting("127.0.0.1:1");
  LCInstallerAnalytics::StartThread(m_handler);
  LCInstallerAnalytics::StopThread();
  EXPECT_EQ(m_server.Requests().size(), 3u);
}

TEST_F(AnalyticsTest, StopGivesUpOnASilentServerAtItsDeadline) {
  // Accepts every ping and never answers: each would wait out its 5 s time-out.
  TestHttpServer silent(
      [](const TestHttpRequest&, TestHttpConnection& connection) { connection.WaitForPeer(std::chrono::seconds(60)); });
  LCInstallerAnalytics::SetServerHostForTesting(silent.HostPort());
  LCInstallerAnalytics::StartThread(m_handler);
  for (int i = 0; i < 6; ++i) LCInstallerAnalytics::PingTalkToOstrelServer("Queued", std::to_string(i));
  ASSERT_TRUE(silent.WaitForRequests(1));
  const auto start = std::chrono::steady_clock::now();
  LCInstallerAnalytics::StopThread();
  // The 2 s deadline and a second of slack; before, the quit took 30 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(m_log.Contains("TTO error"));  // the ping in flight
  EXPECT_TRUE(m_log.Contains("Analytics: stop deadline of 2000 ms reached, 5 queued pings dropped"));
  EXPECT_EQ(silent.Requests().size(), 1u);
}

TEST_F(AnalyticsTest, ErrorStatusAndUnreachableHostAreLoggedAsFailures) {
  TestHttpServer failing(
      [](const TestHttpRequest&, TestHttpConnection& connection) { connection.SendResponse(503, "busy"); });
  LCInstallerAnalytics::SetServerHostForTesting(failing.HostPort());
  SendAndStop({{"Launch", "x"}});
  EXPECT_EQ(failing.Requests().size(), 1u);
  EXPECT_TRUE(m_log.Contains("TTO error"));

  // Port 1 on loopback refuses at once; the sender moves on to the next event.
  LCInstallerAnalytics::SetServerHostForTesting("127.0.0.1:1");
  SendAndStop({{"Launch", "x"}, {"InstallBegin", "0"}});
  int errors = 0;
  for (const std::string& line : m_log.Lines()) errors += line == "TTO error";
  EXPECT_EQ(errors, 3);
}

}  // namespace
