// Whole installations, end to end and headless: the real installer service
// and UI core against the local service (nginx on the build's compiled-in
// 127.0.0.1 ports), the hdiutil stand-in and the sample product image.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KWApplicationLaunchUtil.h"
#include "KWFileUtil.h"
#include "KWLCBackoff.h"
#include "KWLCCloudStructs.h"
#include "KWLCCloudUtils.h"
#include "KWMainRunLoop.h"
#include "LCInstallerAnalytics.h"
#include "LCInstallerService.h"
#include "LCInstallerUICore.h"
#include "LCInstallerUIHeadless.h"
#include "LCKeepAwake.h"
#include "LCReleaseVerifier.h"
#include "TestDoubles.h"
#include "TestHttpServer.h"
#include "TestUtil.h"
#include "ToolsTestUtil.h"
#include "transfer_test_server.h"

namespace {

const int kHttpsPort = CLIPVANE_HTTPS_PORT;
const int kHttpPort = CLIPVANE_HTTP_PORT;
const char* const kVolume = "Ostrel Clipvane 11";
const KWLCBackoffSchedule kQuickRetries = {std::chrono::milliseconds(20),  2.0,  std::chrono::milliseconds(100), 0.5,
                                           std::chrono::milliseconds(100), false};

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::ostringstream hex;
  for (unsigned int i = 0; i < length; ++i) hex << std::hex << (digest[i] >> 4) << (digest[i] & 15);
  return hex.str();
}

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Polls for a condition that another process brings about (nginx writes its
// log line after the reply); the time-out is only reached by a hang.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::steady_clock::duration timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Every ping the installer queued, in order.
std::mutex g_pingMutex;
std::vector<std::string> g_pings;  // "Name(value)"
// The keep-awake hold's changes, noted among the pings as
// "KeepAwake(held)" and "KeepAwake(released)".
class RecordingKeepAwake : public LCKeepAwake {
 public:
  void Begin() override { Note(true); }
  void End() override { Note(false); }

 private:
  void Note(bool held);
  bool m_held = false;  // guarded by g_pingMutex
};

// Runs on the thread that pings, for cases that change the machine at a
// stage; set before the installer starts, cleared by TearDown.
std::function<void(const std::string&)> g_onPing;

void RecordPing(const LCInstallerTTOPingData& ping) {
  const std::string text = ping.m_name.GetUTF8String() + "(" + ping.m_value.GetUTF8String() + ")";
  if (g_onPing) g_onPing(text);
  std::lock_guard<std::mutex> lock(g_pingMutex);
  g_pings.push_back(text);
}

void RecordingKeepAwake::Note(bool held) {
  std::lock_guard<std::mutex> lock(g_pingMutex);
  if (held == m_held) return;
  m_held = held;
  g_pings.push_back(held ? "KeepAwake(held)" : "KeepAwake(released)");
}

class InstallationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_suite = new ScopedTempDir();
    const std::string ca = s_suite->File("ca");
    ASSERT_EQ(RunProcess({ToolPath("local-service/make-local-ca"), ca}).exitCode, 0);
    // The installer finds its pictures and its CA bundle in one folder.
    MakeFolders(s_suite->File("assets"));
    for (const std::string& name : ListFolder(CLIPVANE_ASSET_DIR)) {
      ASSERT_EQ(
          symlink((std::string(CLIPVANE_ASSET_DIR) + "/" + name).c_str(), s_suite->File("assets/" + name).c_str()), 0);
    }
    WriteFileBytes(s_suite->File("assets/cacert.pem"), ReadFileBytes(ca + "/ca.pem"));
    // Like a real image, one with a second volume: detaching must take both
    // at once and only once.
    s_image = MakeImage("image.dmg", {"--payload-mib", "25", "--second-volume", "Ostrel Clipvane Extras"});
    // As the installer's main does: children get the environment from before
    // the process set its own session bus address.
    KWApplicationLaunchUtil::KeepStartEnvironment();
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  }
  static void TearDownTestSuite() {
    delete s_suite;
    s_suite = nullptr;
  }

  // Builds a sample image that installs into the suite's "apps" folder.
  static std::map<std::string, std::string> MakeImage(const std::string& name, std::vector<std::string> options) {
    std::vector<std::string> command = {ToolPath("sample-product/make-sample-image"), "--output", s_suite->File(name),
                                        "--install-dir", s_suite->File("apps")};
    command.insert(command.end(), options.begin(), options.end());
    const ProcessResult result = RunProcess(command);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return ParseKeyValues(result.out);
  }

  void SetUp() override {
    MakeFolders(m_dir.File("tmp"));
    setenv("TMPDIR", m_dir.File("tmp").c_str(), 1);
    setenv("XDG_DATA_HOME", m_dir.File("share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", m_dir.File("config").c_str(), 1);
    setenv("XDG_CACHE_HOME", m_dir.File("cache").c_str(), 1);
    KWFileUtil::DeleteAllTempFilesCreated();  // the next session folder goes under this TMPDIR
    RunProcess({"rm", "-rf", s_suite->File("apps")});
    MakeFolders(s_suite->File("apps"));
    {
      std::lock_guard<std::mutex> lock(g_pingMutex);
      g_pings.clear();
    }
    LCInstallerAnalytics::SetPingObserverForTesting(RecordPing);
    LCKeepAwake::SetForTesting(&m_keepAwake);
    LCInstallerUIHeadless::Reset();
    KWMainRunLoop::Get().DiscardPending();
    // Retries wait milliseconds, not the minute users get; a test that needs
    // the real schedule sets it.
    KWLCBackoff::SetPartRestarts(kQuickRetries);
    KWLCBackoff::SetStageAttempts(kQuickRetries);
    LCInstallerUIHeadless::SetAssetFolder(s_suite->File("assets").c_str());
    LCInstallerUIHeadless::SetMessageBoxScript([this](const LCHeadlessMessageBox& box) -> LCInstallerMBResult {
      if (m_beforeAnswer) m_beforeAnswer();
      {
        std::lock_guard<std::mutex> lock(g_pingMutex);
        g_pings.push_back("Box()");
      }
      std::lock_guard<std::mutex> lock(m_answerMutex);
      m_boxes.push_back(box.m_message.GetUTF8String());
      if (m_answers.empty())
        return box.m_type == kLCInstallerMBTypeRetryCancel ? kLCInstallerMBResultCancel : kLCInstallerMBResultOK;
      const LCInstallerMBResult answer = m_answers.front();
      m_answers.erase(m_answers.begin());
      return answer;
    });
  }

  void TearDown() override {
    for (const std::string& path : m_mounts) umount2(path.c_str(), MNT_DETACH);
    if (m_serviceStarted) RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
    LCInstallerAnalytics::SetPingObserverForTesting(nullptr);
    g_onPing = nullptr;
    LCKeepAwake::SetForTesting(nullptr);
    LCInstallerUIHeadless::Reset();
    KWLCBackoff::ResetSchedules();
    LCInstallerService::SetReleaseVerifierForTesting(nullptr);
    unsetenv("TMPDIR");
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_CACHE_HOME");
  }

  // Starts nginx with the image; extra options go to start-local-service.
  void StartService(const std::string& image, std::vector<std::string> options = {}) {
    std::vector<std::string> command = {ToolPath("local-service/start-local-service"),
                                        "--image",
                                        image,
                                        "--launch-path",
                                        s_image["launch_path"],
                                        "--state",
                                        m_dir.File("service"),
                                        "--ca-dir",
                                        s_suite->File("ca"),
                                        "--http-port",
                                        std::to_string(kHttpPort)};
    if (std::find(options.begin(), options.end(), "--https-port") == options.end()) {
      command.push_back("--https-port");
      command.push_back(std::to_string(kHttpsPort));
    }
    // Signed by the key this build trusts, unless the case says otherwise.
    if (std::find(options.begin(), options.end(), "--release-key") == options.end()) {
      command.push_back("--release-key");
      command.push_back(m_unsignedBuild ? "none"
                                        : std::string(CLIPVANE_RELEASE_KEYS_DIR) + "/release-1/release-key.pem");
    }
    command.insert(command.end(), options.begin(), options.end());
    const ProcessResult result = RunProcess(command);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    m_service = ParseKeyValues(result.out);
    m_serviceStarted = true;
  }

  // What main does: the first loop until the install click, then the
  // service beside the second loop, then the shutdown order.
  void RunInstaller(const std::function<void(LCInstallerUICore&)>& duringInstall = nullptr) {
    CountingExceptionHandler handler;
    LCInstallerAnalytics::StartThread(handler);
    {
      LCInstallerUICoreInitParams params;
      LCInstallerUICore ui(params);
      ui.CreateUI();
      KWMainRunLoop::Get().Post([&ui] { ui.OnInstallNowButtonClick(); });
      ui.RunEventLoop(ui.IsWaitingOnInstallButtonClick());
      ASSERT_FALSE(ui.IsExitRequested());
      {
        LCInstallerService service(ui, handler);
        service.StartService();
        if (duringInstall) duringInstall(ui);
        const std::atomic<bool> keepRunning{true};
        ui.RunEventLoop(keepRunning);
      }
      m_mountGoneAfterService = !PathExists(MountPoint());
      m_foldersLeftAfterService.clear();
      const std::string root = KWFileUtil::GetSessionTempFolder().GetPath().GetPathAsKWString().GetUTF8String();
      for (const std::string& name : ListFolder(root)) {
        struct stat info;
        if (lstat((root + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode))
          m_foldersLeftAfterService.push_back(name);
      }
      m_finalState = ui.GetState();
    }
    LCInstallerAnalytics::StopThread();
  }

  std::string MountPoint() const {
    return KWFileUtil::GetSessionTempFolder().GetPath().GetPathAsKWString().GetUTF8String() + "/" + kVolume;
  }
  std::vector<std::string> Pings() {
    std::lock_guard<std::mutex> lock(g_pingMutex);
    return g_pings;
  }
  // The keep-awake hold was taken, and was let go before every box and by the end.
  bool KeepAwakeReleasedAtEveryBoxAndAtTheEnd() {
    bool held = false, taken = false;
    for (const std::string& ping : Pings()) {
      if (ping == "KeepAwake(held)") held = taken = true;
      if (ping == "KeepAwake(released)") held = false;
      if (ping == "Box()" && held) return false;
    }
    return taken && !held;
  }
  bool Pinged(const std::string& ping) {
    for (const std::string& p : Pings()) {
      if (p == ping) return true;
    }
    return false;
  }
  // The error codes of the boxes shown, read from their "error code N." suffix.
  std::vector<std::string> Boxes() {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    return m_boxes;
  }
  void Answer(std::vector<LCInstallerMBResult> answers) {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    m_answers = answers;
  }
  void QuitDuringDownload(const std::function<void(LCInstallerUICore&)>& quit);
  // For cases about what an unsigned build does: the installer accepts
  // unsigned replies and the service sends them.
  void UseUnsignedBuild() {
    m_unsignedBuild = true;
    LCInstallerService::SetReleaseVerifierForTesting(&m_unsignedVerifier);
  }
  int CountLines(const std::string& logKey) { return static_cast<int>(FileLines(m_service[logKey]).size()); }
  // A tmpfs over path until the case ends; false where this process may not mount.
  bool MountTmpfs(const std::string& path, unsigned long flags, const std::string& options) {
    if (mount("tmpfs", path.c_str(), "tmpfs", flags, options.c_str()) != 0) return false;
    m_mounts.push_back(path);
    return true;
  }

  RecordingKeepAwake m_keepAwake;
  static ScopedTempDir* s_suite;
  static std::map<std::string, std::string> s_image;

  ScopedTempDir m_dir;
  LogCapture m_log;
  std::map<std::string, std::string> m_service;
  bool m_serviceStarted = false;
  bool m_unsignedBuild = false;
  LCReleaseVerifier m_unsignedVerifier{"", ""};
  bool m_mountGoneAfterService = false;
  // Folders in the mount root once the service has ended: volumes left attached.
  std::vector<std::string> m_foldersLeftAfterService;
  int m_finalState = 0;
  std::vector<std::string> m_beforeRetryLog;  // the access log of the service a Retry replaced
  std::mutex m_answerMutex;
  std::vector<std::string> m_boxes;
  std::vector<LCInstallerMBResult> m_answers;
  // Runs before a box is answered, on the thread that shows it.
  std::function<void()> m_beforeAnswer;
  std::vector<std::string> m_mounts;
};

// The image's range GETs in an access log: range asked for, bytes sent, and
// whether the reply carried the whole range.
struct ImageFetch {
  std::string range;
  uint64_t bytes;
  bool whole;
};
std::vector<ImageFetch> ImageFetches(const std::vector<std::string>& accessLog) {
  std::vector<ImageFetch> fetches;
  for (const std::string& line : accessLog) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    if (fields.size() < 8 || fields[3] != "GET" || fields[4].find("/download/") != 0) continue;
    const uint64_t bytes = std::stoull(fields[7]);
    const size_t dash = fields[6].find('-');
    const bool whole = fields[5] == "206" && dash != std::string::npos &&
                       std::stoull(fields[6].substr(dash + 1)) - std::stoull(fields[6].substr(6)) + 1 == bytes;
    fetches.push_back(ImageFetch{fields[6], bytes, whole});
  }
  return fetches;
}

// The image's bytes served, from the access log's lines.
uint64_t BytesFetched(const std::vector<std::string>& accessLog) {
  uint64_t bytes = 0;
  for (const ImageFetch& fetch : ImageFetches(accessLog)) bytes += fetch.bytes;
  return bytes;
}

ScopedTempDir* InstallationTest::s_suite = nullptr;
std::map<std::string, std::string> InstallationTest::s_image;

TEST_F(InstallationTest, InstallsLaunchesAndCleansUp) {
  // A build number that tries to write a log line of its own (a signed
  // build refuses it before it is logged).
  UseUnsignedBuild();
  StartService(s_image["image"], {"--build-number", "11.0.0.1234\nFORGED LINE"});
  RunInstaller();
  EXPECT_TRUE(m_log.Contains("Build Number: 11.0.0.1234\\nFORGED LINE"));
  EXPECT_EQ(m_log.IndexOf("FORGED LINE"), -1);
  EXPECT_TRUE(m_log.Contains("Download: image verified, SHA-256 " + Sha256(ReadFileBytes(s_image["image"]))));

  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  EXPECT_EQ(Sha256(ReadFileBytes(s_image["payload_path"])), s_image["payload_sha256"]) << "installed payload differs";
  const std::string marker = s_suite->File("apps/clipvane-launched.txt");
  ASSERT_TRUE(Eventually([&] { return PathExists(marker); }));
  EXPECT_EQ(ReadFileBytes(marker), "--campaignID\ncnet\n");
  EXPECT_TRUE(m_mountGoneAfterService) << "the image must be detached";
  EXPECT_TRUE(m_foldersLeftAfterService.empty()) << "volume left: " << m_foldersLeftAfterService[0];
  EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty()) << "temporary files left: " << ListFolder(m_dir.File("tmp"))[0];
  EXPECT_TRUE(m_log.Contains("Detaching device /dev/disk"));
  EXPECT_FALSE(m_log.Contains("trying again with -force")) << "the image is detached once, by its device";
  // The setup program ran as if started from the user's shell.
  EXPECT_EQ(ReadFileBytes(s_suite->File("apps/.clipvane-setup.stdin")), "/dev/null\n");
  EXPECT_EQ(ReadFileBytes(s_suite->File("apps/.clipvane-setup.env")).find("DBUS_SESSION_BUS_ADDRESS=disabled:"),
            std::string::npos);

  // The Mac is kept awake from the download's start to the end of the installation.
  const std::vector<std::string> expected = {
      "InstallBegin()",   "HandshakeBegin()", "HandshakeDone(1)", "DownloadBegin()",    "KeepAwake(held)",
      "DownloadDone(1)",  "ExtractBegin()",   "ExtractDone()",    "SetupBegin()",       "SetupDone()",
      "AppLaunchBegin()", "AppLaunchDone()",  "InstallSuccess()", "KeepAwake(released)"};
  std::vector<std::string> stages;
  for (const std::string& ping : Pings()) {
    if (ping.rfind("DownloadProgress", 0) != 0) stages.push_back(ping);
  }
  EXPECT_EQ(stages, expected);
  // The service received the pings over HTTP, in order, with the user id.
  ASSERT_TRUE(Eventually([&] {
    const std::vector<std::string> lines = FileLines(m_service["ping_log"]);
    return !lines.empty() && lines.back().find("\tInstallSuccess\t") != std::string::npos;
  }));
  const std::vector<std::string> received = FileLines(m_service["ping_log"]);
  EXPECT_NE(received.front().find("\tInstallBegin\t"), std::string::npos) << received.front();
  // The parts were fetched in parallel ranges: one HEAD, three range GETs.
  int heads = 0, ranges = 0;
  for (const std::string& line : FileLines(m_service["access_log"])) {
    heads += line.find("\tHEAD\t/download/") != std::string::npos;
    ranges += line.find("\tGET\t/download/") != std::string::npos && line.find("\t206\t") != std::string::npos;
  }
  EXPECT_EQ(heads, 1);
  EXPECT_EQ(ranges, 3);
}

TEST_F(InstallationTest, NetworkDownFailsBeforeTheInstallationBegins) {
  // No service: the connection test host refuses.
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("Unable to connect to the network."), std::string::npos);
  EXPECT_NE(Boxes()[0].find("with the error code 9000."), std::string::npos);
  EXPECT_FALSE(Pinged("InstallBegin()"));
  EXPECT_TRUE(Pinged("InstallError()"));
  // A link down for a moment is given a few more looks before the box.
  int looks = 0;
  for (const std::string& line : m_log.Lines()) looks += line.find("network: no connection yet") != std::string::npos;
  EXPECT_EQ(4, looks);
}

TEST_F(InstallationTest, FiveFailedHandshakesGive9001) {
  StartService(s_image["image"], {"--handshake-result", "maintenance"});
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("with the error code 9001."), std::string::npos);
  ASSERT_TRUE(Eventually([&] { return CountLines("handshake_log") == 5; }));
  EXPECT_TRUE(m_log.Contains("DoHandshake, errorCode:maintenance."));
  EXPECT_FALSE(Pinged("DownloadBegin()"));
}

// A handshake server that accepts connections and never says a word, with
// the limits and pauses users get: the box comes within two minutes (the
// limits leave ten seconds to spare), after the five attempts.
TEST_F(InstallationTest, ASilentHandshakeServerEndsIn9001WithinTwoMinutes) {
  KWLCBackoff::ResetSchedules();
  StartService(s_image["image"], {"--https-port", "auto"});
  // The kernel completes every connection; nobody ever reads or answers.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(kHttpsPort));
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << strerror(errno);
  ASSERT_EQ(listen(listener, 16), 0);
  const auto start = std::chrono::steady_clock::now();
  RunInstaller();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  close(listener);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("with the error code 9001."), std::string::npos);
  int timedOut = 0;
  for (const std::string& line : m_log.Lines()) timedOut += line == "DoHandshake, failed with res=28";
  EXPECT_EQ(timedOut, 5);
  EXPECT_LT(elapsed, std::chrono::seconds(120))
      << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count() << " s";
  EXPECT_FALSE(Pinged("DownloadBegin()"));
}

TEST_F(InstallationTest, HandshakeSucceedingOnTheThirdAttemptReportsThree) {
  StartService(s_image["image"], {"--https-port", "auto"});
  std::atomic<int> attempts{0};
  const std::string reply = ReadFileBytes(m_service["handshake_file"]);
  TestHttpServer handshake(
      [&](const TestHttpRequest&, TestHttpConnection& connection) {
        connection.SendResponse(200, ++attempts <= 2 ? R"({"result":"busy"})" : reply);
      },
      s_suite->File("ca/server.pem"), s_suite->File("ca/server.key"), kHttpsPort);
  RunInstaller();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(attempts, 3);
  EXPECT_TRUE(Pinged("HandshakeDone(3)"));
  EXPECT_TRUE(Pinged("InstallSuccess()"));
}

TEST_F(InstallationTest, UnreachableImageGives9002) {
  UseUnsignedBuild();
  StartService(s_image["image"], {"--https-port", "auto"});
  std::string imageUrl;
  TestHttpServer handshake(
      [&imageUrl](const TestHttpRequest&, TestHttpConnection& connection) {
        connection.SendResponse(200, R"({"result":"success","clvdownloadUrl":")" + imageUrl +
                                         R"(","clvinstallPath":"/nowhere","clvbuildNumber":"1"})");
      },
      s_suite->File("ca/server.pem"), s_suite->File("ca/server.key"), kHttpsPort);
  // Nothing listens; a scheme other than http(s) is refused before any request.
  for (const std::string& url : {std::string("http://127.0.0.1:1/gone.dmg"), std::string("GOPHER://127.0.0.1:1/1x")}) {
    imageUrl = url;
    m_boxes.clear();
    RunInstaller();
    ASSERT_EQ(Boxes().size(), 1u) << url;
    EXPECT_NE(Boxes()[0].find("Unable to download Ostrel Clipvane."), std::string::npos);
    EXPECT_NE(Boxes()[0].find("with the error code 9002."), std::string::npos);
    EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty()) << "no part file may be left";
  }
  EXPECT_TRUE(KeepAwakeReleasedAtEveryBoxAndAtTheEnd());
  EXPECT_TRUE(m_log.Contains("Download: refused GOPHER://127.0.0.1:1/1x, only http and https images are fetched"));
}

// A server that trickles 2 bytes a second is never quite stalled: with the
// shipped limits the download ends in 9002 within three minutes, keeping
// what arrived.
TEST_F(InstallationTest, ATricklingServerEndsIn9002WithTheShippedLimits) {
  StartService(s_image["image"], {"--rate-limit", "2"});
  const auto start = std::chrono::steady_clock::now();
  RunInstaller();
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("with the error code 9002."), std::string::npos);
  EXPECT_LT(took, std::chrono::minutes(3));
  // nginx's rate limit holds back the size query's headers too: the stage's
  // deadline ends that; a trickle of the parts' bytes ends at the floor.
  EXPECT_TRUE(m_log.Contains("Download: the link stayed too slow, not trying again; what arrived is kept") ||
              m_log.Contains("the download did not end within 150 s: the server is too slow"));
  EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty()) << "no part file may be left";
}

// Moves this process, and every thread and child it starts from now on, into
// a network namespace of its own whose loopback the kernel's token bucket
// shapes to the rate: a real slow link. False without the rights (root).
bool EnterShapedLink(const std::string& rate) {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return false;
  return RunProcess({"ip", "link", "set", "lo", "mtu", "1500", "up"}).exitCode == 0 &&
         RunProcess({"tc", "qdisc", "replace", "dev", "lo", "root", "tbf", "rate", rate, "burst", "16kbit", "latency",
                     "400ms"})
                 .exitCode == 0;
}

// On a 64 kbit/s link a multi-part image installs, and a 20 s drop of the
// link in the middle of the download costs no byte: the parts go on from
// their last bytes once it is back.
TEST_F(InstallationTest, OnASlowLinkADropMidDownloadFetchesNoByteTwice) {
  if (!EnterShapedLink("64kbit")) GTEST_SKIP() << "a shaped link needs root and network namespaces";
  const std::map<std::string, std::string> image = MakeImage("small.dmg", {"--payload-bytes", "150000"});
  const uint64_t imageBytes = std::stoull(image.at("image_bytes"));
  StartService(image.at("image"));
  LCInstallerService::SetDownloadPartSizeForTesting(imageBytes / 8 + 1);
  std::thread drop;
  RunInstaller([&](LCInstallerUICore&) {
    drop = std::thread([this] {
      // Down once about a third of the image has arrived.
      const std::regex third(R"(^Download progress: [3-9][0-9]$)");
      ASSERT_TRUE(Eventually(
          [&] {
            for (const std::string& line : m_log.Lines()) {
              if (std::regex_search(line, third)) return true;
            }
            return false;
          },
          std::chrono::seconds(90)));
      RunProcess({"ip", "link", "set", "lo", "down"});
      std::this_thread::sleep_for(std::chrono::seconds(20));  // the drop itself, not an ordering
      RunProcess({"ip", "link", "set", "lo", "up"});
    });
  });
  drop.join();
  LCInstallerService::SetDownloadPartSizeForTesting(0);
  EXPECT_TRUE(Boxes().empty()) << Boxes()[0];
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  // What arrived, as the downloader counts it: nginx counts what it put
  // into its socket, which a cut-off connection never delivers.
  uint64_t received = 0;
  const std::regex counted(R"(DownloadFile, (\d+) bytes received, )");
  for (const std::string& line : m_log.Lines()) {
    std::smatch match;
    if (std::regex_search(line, match, counted)) received += std::stoull(match[1]);
  }
  EXPECT_GE(received, imageBytes);
  EXPECT_LE(received, imageBytes + imageBytes / 100) << "bytes fetched twice";
}

// Nothing that was not verified reaches the attach: not an image whose
// digest differs from the handshake's, not one fetched in the clear without one.
TEST_F(InstallationTest, SwappedOrUnverifiableImageNeverReachesTheAttach) {
  UseUnsignedBuild();  // a signed build refuses a reply without a digest at the handshake
  for (const std::string& digest : {Sha256("another image"), std::string("none")}) {
    StartService(s_image["image"], {"--sha256", digest});
    m_boxes.clear();
    RunInstaller();
    ASSERT_EQ(Boxes().size(), 1u) << digest;
    EXPECT_NE(Boxes()[0].find("with the error code 9002."), std::string::npos);
    EXPECT_FALSE(m_log.Contains("Attaching image"));
    EXPECT_FALSE(Pinged("ExtractBegin()"));
    EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty());
    if (digest == "none") {
      for (const std::string& line : FileLines(m_service["access_log"]))
        EXPECT_EQ(line.find("/download/"), std::string::npos) << "fetched in the clear: " << line;
    } else {
      int heads = 0;
      for (const std::string& line : FileLines(m_service["access_log"]))
        heads += line.find("\tHEAD\t/download/") != std::string::npos;
      EXPECT_EQ(heads, 2) << "a mismatching image is fetched twice, not five times";
    }
    RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
  }
  EXPECT_TRUE(m_log.Contains("SHA-256 mismatch: expected " + Sha256("another image") + ", got " +
                             Sha256(ReadFileBytes(s_image["image"]))));
  EXPECT_TRUE(m_log.Contains("Download: no SHA-256 in the handshake reply, fetching https://127.0.0.1:" +
                             std::to_string(kHttpPort) + "/download/OstrelClipvane11.dmg over https instead of http"));
}

// Room for the image and its copy but not for the attach's own reserve: the
// disk-space box comes before any GET, and its Retry looks again.
TEST_F(InstallationTest, TooLittleDiskSpaceAsksAtOnceAndRetryLooksAgain) {
  const std::string tmp = m_dir.File("tmp");
  if (!MountTmpfs(tmp, 0, "size=100m,mode=0700"))
    GTEST_SKIP() << "cannot mount a small file system here: " << strerror(errno);
  StartService(s_image["image"]);
  int getsBeforeTheBox = -1;
  m_beforeAnswer = [&] {
    if (getsBeforeTheBox >= 0) return;
    getsBeforeTheBox = 0;
    for (const std::string& line : FileLines(m_service["access_log"]))
      getsBeforeTheBox += line.find("\tGET\t/download/") != std::string::npos;
    // The user makes room before answering.
    mount("tmpfs", tmp.c_str(), "tmpfs", MS_REMOUNT, "size=600m,mode=0700");
  };
  Answer({kLCInstallerMBResultRetry});
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("There is not enough disk space on your computer"), std::string::npos) << Boxes()[0];
  EXPECT_EQ(getsBeforeTheBox, 0);
  EXPECT_TRUE(m_log.Contains("bytes free,")) << "the log gives what is free and what is needed";
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
}

// The disk fills once the download is under way (here right after it): the
// attach asks for room instead of failing, and its Retry attaches the verified
// image again without asking the server for a byte.
TEST_F(InstallationTest, ADiskFilledDuringTheDownloadAsksForRoomAndRetryOnlyAttaches) {
  const std::string tmp = m_dir.File("tmp");
  const uint64_t attachNeed = ReadFileBytes(s_image["image"]).size() + (256ull << 20);
  const uint64_t kFillerBytes = 128ull << 20;
  if (!MountTmpfs(tmp, 0, "size=" + std::to_string((attachNeed + kFillerBytes / 2) >> 10) + "k,mode=0700"))
    GTEST_SKIP() << "cannot mount a small file system here: " << strerror(errno);
  StartService(s_image["image"]);
  const std::string filler = tmp + "/filler";
  g_onPing = [&](const std::string& ping) {
    if (ping != "DownloadDone(1)") return;
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(posix_fallocate(fd, 0, static_cast<off_t>(kFillerBytes)), 0);
    close(fd);
  };
  const auto imageRequests = [&] {
    int requests = 0;
    for (const std::string& line : FileLines(m_service["access_log"]))
      requests += line.find("/download/") != std::string::npos;
    return requests;
  };
  int requestsAtTheBox = -1;
  m_beforeAnswer = [&] {
    requestsAtTheBox = imageRequests();
    unlink(filler.c_str());  // the user makes room before answering
  };
  Answer({kLCInstallerMBResultRetry});
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("There is not enough disk space on your computer"), std::string::npos) << Boxes()[0];
  EXPECT_TRUE(m_log.Contains("Attach: not enough disk space in " + tmp));
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  EXPECT_TRUE(Pinged("InstallSuccess()"));
  EXPECT_GT(requestsAtTheBox, 0);
  EXPECT_EQ(imageRequests(), requestsAtTheBox) << "the Retry asked for the image again";
  EXPECT_TRUE(KeepAwakeReleasedAtEveryBoxAndAtTheEnd());
}

// A destination that cannot be written for another reason than space is not
// a download that failed: its own box, tried once.
TEST_F(InstallationTest, AnImageThatCannotBeWrittenSaysSo) {
  StartService(s_image["image"]);
  // The image goes to the user's cache folder.
  const std::string cache = m_dir.File("cache/com.ostrel.clipvane.installer");
  MakeFolders(cache);
  if (!MountTmpfs(cache, MS_RDONLY, "size=100m,mode=0700"))
    GTEST_SKIP() << "cannot mount a read-only file system here: " << strerror(errno);
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("Ostrel Clipvane could not be saved on your computer."), std::string::npos) << Boxes()[0];
  EXPECT_NE(Boxes()[0].find("with the error code 9009."), std::string::npos);
  EXPECT_TRUE(m_log.Contains("Download: the image could not be written, not trying again"));
}

TEST_F(InstallationTest, ImageWithoutSetupFolderGives9003EvenWhenAttachFails) {
  // The volume's own name does not matter; only a volume holding the setup
  // folder does.
  const std::map<std::string, std::string> bare =
      MakeImage("bare.dmg", {"--payload-mib", "1", "--without-setup-folder", "--second-volume", "Ostrel Clipvane 11"});
  WriteFileBytes(s_suite->File("garbage.dmg"), std::string(3 * 1024 * 1024, 'G'));
  for (const std::string& image : {bare.at("image"), s_suite->File("garbage.dmg")}) {
    StartService(image);
    m_boxes.clear();
    RunInstaller();
    ASSERT_EQ(Boxes().size(), 1u) << image;
    EXPECT_NE(Boxes()[0].find("Unable to install Ostrel Clipvane."), std::string::npos);
    EXPECT_NE(Boxes()[0].find("with the error code 9003."), std::string::npos);
    EXPECT_TRUE(m_mountGoneAfterService) << "an attached image without a setup folder is still detached";
    EXPECT_TRUE(m_foldersLeftAfterService.empty()) << "still attached: " << m_foldersLeftAfterService[0];
    RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
  }
  // The tool's own reason reaches the log, not only its standard error.
  // The line support tools read, then the reason on a line of its own.
  const std::vector<std::string> lines = m_log.Lines();
  const int returned = m_log.IndexOf("hdiutil attach returned: 1");
  ASSERT_GE(returned, 0) << "garbage image";
  EXPECT_TRUE(std::any_of(lines.begin() + returned, lines.end(), [](const std::string& line) {
    return line.rfind("hdiutil attach: hdiutil: attach failed - ", 0) == 0;
  }));
}

TEST_F(InstallationTest, SetupExitCodeReachesTheUserAndRetryRerunsOnlySetup) {
  StartService(s_image["image"]);
  WriteFileBytes(s_suite->File("apps/.clipvane-setup-exit-codes"), "32\n");
  Answer({kLCInstallerMBResultRetry});
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("Ostrel Clipvane is already installed on this system."), std::string::npos);
  EXPECT_NE(Boxes()[0].find("with the error code 32."), std::string::npos);
  EXPECT_TRUE(Pinged("InstallSuccess()"));
  EXPECT_EQ(FileLines(s_suite->File("apps/.clipvane-setup.log")).size(), 2u) << "setup ran twice";
  ASSERT_TRUE(Eventually([&] { return CountLines("handshake_log") >= 1; }));
  EXPECT_EQ(CountLines("handshake_log"), 1) << "the retry does not handshake again";
  int heads = 0;
  for (const std::string& line : FileLines(m_service["access_log"]))
    heads += line.find("\tHEAD\t") != std::string::npos;
  EXPECT_EQ(heads, 1) << "the retry does not download again";
  EXPECT_TRUE(PathExists(s_suite->File("apps/clipvane-launched.txt")) ||
              Eventually([&] { return PathExists(s_suite->File("apps/clipvane-launched.txt")); }));
}

TEST_F(InstallationTest, ProductThatCannotStartGives9005WithoutSuffix) {
  UseUnsignedBuild();  // a signed build refuses a launch path that is not absolute
  // A missing program, and a bare name that must not be looked up on PATH.
  for (const std::string& launchPath : {s_suite->File("apps/missing/Clipvane"), std::string("true")}) {
    StartService(s_image["image"], {"--launch-path", launchPath});
    m_boxes.clear();
    RunProcess({"rm", "-rf", s_suite->File("apps")});
    MakeFolders(s_suite->File("apps"));
    RunInstaller();
    ASSERT_EQ(Boxes().size(), 1u) << launchPath;
    EXPECT_EQ(Boxes()[0], "Please launch Ostrel Clipvane from Launchpad.");
    EXPECT_TRUE(m_mountGoneAfterService);
    RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
  }
}

// A process that exists and has not ended (zombies have ended).
bool IsRunning(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (pid.empty() || !std::getline(stat, line)) return false;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TEST_F(InstallationTest, QuitDuringAHangingSetupEndsItsProcessGroupAndDetaches) {
  StartService(s_image["image"]);
  WriteFileBytes(s_suite->File("apps/.clipvane-setup-exit-codes"), "hang\n");
  const std::string pidFile = s_suite->File("apps/.clipvane-setup-hang.pid");
  // Catches a quit that waits for the setup: ends the hang so the test ends.
  std::promise<void> ended;
  std::atomic<bool> hung{false};
  std::thread watchdog;
  RunInstaller([&](LCInstallerUICore& ui) {
    ASSERT_TRUE(Eventually([&] { return PathExists(pidFile); }));
    ui.OnExit();
    watchdog = std::thread([&, done = ended.get_future()] {
      if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return;
      hung = true;
      kill(std::stoi(ReadFileBytes(pidFile)), SIGKILL);
    });
  });
  ended.set_value();
  watchdog.join();
  EXPECT_FALSE(hung) << "the quit waited for the setup program";
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(Pinged("InstallExit()"));
  EXPECT_TRUE(m_log.Contains("Setup: quit requested, the setup program and its process group were ended"));
  EXPECT_TRUE(m_mountGoneAfterService);
  EXPECT_TRUE(Eventually([&] {
    return !IsRunning(ReadFileBytes(pidFile).substr(0, ReadFileBytes(pidFile).find('\n')));
  })) << "the setup's own child still runs";
  EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty());
}

// The user quits, by quit, while the parts are downloading: no error box, no
// retry, "InstallExit", nothing left in the temporary folder.
void InstallationTest::QuitDuringDownload(const std::function<void(LCInstallerUICore&)>& quit) {
  UseUnsignedBuild();  // the reply below is not signed
  StartService(s_image["image"], {"--https-port", "auto"});
  const std::string image = ReadFileBytes(s_image["image"]);
  std::promise<void> released;
  std::shared_future<void> release = released.get_future().share();
  std::promise<void> downloading;
  std::atomic<bool> signalled{false};
  TestHttpServer slowImage([&](const TestHttpRequest& request, TestHttpConnection& connection) {
    if (request.method == "HEAD") {
      connection.SendResponse(200, image, "", true);
      return;
    }
    // Send the headers and a little data, then nothing until the test ends.
    connection.Send("HTTP/1.1 206 Partial Content\r\nContent-Length: 10485760\r\nContent-Range: " +
                    request.Header("Range").replace(0, 6, "bytes ") + "/" + std::to_string(image.size()) + "\r\n\r\n" +
                    std::string(1000, 'x'));
    if (!signalled.exchange(true)) downloading.set_value();
    release.wait_for(std::chrono::seconds(30));
  });
  const std::string reply = R"({"result":"success","clvdownloadUrl":")" + slowImage.BaseUrl() +
                            R"(/image.dmg","clvinstallPath":"/nowhere","clvbuildNumber":"1","sha256":")" +
                            Sha256(image) + R"("})";
  TestHttpServer handshake(
      [&](const TestHttpRequest&, TestHttpConnection& connection) { connection.SendResponse(200, reply); },
      s_suite->File("ca/server.pem"), s_suite->File("ca/server.key"), kHttpsPort);

  RunInstaller([&](LCInstallerUICore& ui) {
    ASSERT_EQ(downloading.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    quit(ui);
  });
  released.set_value();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(Pinged("InstallExit()"));
  EXPECT_FALSE(Pinged("DownloadDone(1)"));
  EXPECT_TRUE(m_log.Contains("Install complete."));
  EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty());
  EXPECT_TRUE(KeepAwakeReleasedAtEveryBoxAndAtTheEnd());
}

TEST_F(InstallationTest, ExitDuringDownloadEndsWithoutErrorOrRetry) {
  QuitDuringDownload([](LCInstallerUICore& ui) { ui.OnExit(); });
}

// A signal takes the same way out: no question, no leftovers.
TEST_F(InstallationTest, SigtermDuringDownloadTakesTheQuitPath) {
  LCInstallerUICore::InstallQuitSignalHandlers();
  QuitDuringDownload([](LCInstallerUICore&) { kill(getpid(), SIGTERM); });
  EXPECT_TRUE(m_log.Contains("UI: signal 15, quitting as the user would"));
}

// Debian's tinyproxy on a free port of 127.0.0.1, in the foreground as our
// child, logging every request line to a file the test reads.
class TinyProxy {
 public:
  explicit TinyProxy(const ScopedTempDir& dir) : m_log(dir.File("tinyproxy.log")), m_port(FreePort()) {
    WriteFileBytes(dir.File("tinyproxy.conf"), "Port " + std::to_string(m_port) +
                                                   "\nListen 127.0.0.1\nTimeout 60\nLogFile \"" + m_log +
                                                   "\"\nLogLevel Connect\nMaxClients 64\nAllow 127.0.0.1\n");
    m_process.reset(
        new BackgroundProcess({"tinyproxy", "-d", "-c", dir.File("tinyproxy.conf")}, dir.File("tinyproxy.out")));
  }
  bool WaitUntilListening() const {
    return Eventually([this] { return ConnectsTo(m_port); });
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  // The request lines ("GET http://...", "CONNECT host:port") in order.
  std::vector<std::string> Requests() const {
    std::vector<std::string> requests;
    for (const std::string& line : FileLines(m_log)) {
      const size_t at = line.find("]: Request (file descriptor ");
      if (at != std::string::npos) requests.push_back(line.substr(line.find("): ", at) + 3));
    }
    return requests;
  }
  int Count(const std::string& start) const {
    int count = 0;
    for (const std::string& request : Requests()) count += request.rfind(start, 0) == 0;
    return count;
  }

 private:
  static int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
  }
  static bool ConnectsTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
  }

  std::string m_log;
  int m_port;
  std::unique_ptr<BackgroundProcess> m_process;
};

TEST_F(InstallationTest, BehindAProxyOnlyNetworkEverythingGoesThroughTheProxy) {
  // The image is served on another port, so the compiled-in connection-test
  // (and ping) port is closed: only the proxy's way out works.
  StartService(s_image["image"], {"--http-port", "auto"});
  TinyProxy proxy(m_dir);
  ASSERT_TRUE(proxy.WaitUntilListening());
  const std::string imageHost = "127.0.0.1:" + m_service["http_port"];
  const auto installOnce = [&](const std::map<std::string, std::string>& variables) {
    const ScopedEnvironment environment(ProxyVariables(variables));
    m_boxes.clear();
    RunProcess({"rm", "-rf", s_suite->File("apps")});
    MakeFolders(s_suite->File("apps"));
    RunInstaller();
  };

  installOnce({});
  ASSERT_EQ(Boxes().size(), 1u) << "no proxy, no way out";
  EXPECT_NE(Boxes()[0].find("with the error code 9000."), std::string::npos);

  installOnce({{"https_proxy", proxy.Url()}, {"http_proxy", proxy.Url()}});
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  EXPECT_EQ(Sha256(ReadFileBytes(s_image["payload_path"])), s_image["payload_sha256"]);
  EXPECT_TRUE(m_log.Contains("network: checking the connection through the proxy at 127.0.0.1:" +
                             proxy.Url().substr(proxy.Url().rfind(':') + 1)));
  EXPECT_EQ(proxy.Count("CONNECT 127.0.0.1:" + std::to_string(kHttpsPort) + " "), 1) << "the handshake";
  EXPECT_EQ(proxy.Count("HEAD http://" + imageHost + "/download/"), 1);
  EXPECT_EQ(proxy.Count("GET http://" + imageHost + "/download/"), 3) << "the range requests";
  EXPECT_TRUE(Eventually([&] {
    return proxy.Count("GET http://127.0.0.1:" + std::to_string(kHttpPort) + "/t2o/ping?") >= 12;
  })) << "every stage's ping";

  // An exempt image host is asked directly, and the host its redirect leads
  // to still goes through the proxy (libcurl decides per request); the rest
  // goes through too.
  const std::string imageURL = m_service["image_url"];
  TestHttpServer exempt([&](const TestHttpRequest& request, TestHttpConnection& connection) {
    connection.SendResponse(302, "", "Location: " + imageURL + "\r\n", request.method == "HEAD");
  });
  std::string reply = ReadFileBytes(m_service["handshake_file"]);
  const size_t at = reply.find(imageURL);
  ASSERT_NE(at, std::string::npos);
  const std::string exemptURL = "http://localhost:" + std::to_string(exempt.Port()) + "/signed.dmg";
  WriteFileBytes(m_service["handshake_file"], reply.replace(at, imageURL.size(), exemptURL));
  const int requestsBefore = static_cast<int>(proxy.Requests().size());
  installOnce({{"https_proxy", proxy.Url()}, {"http_proxy", proxy.Url()}, {"no_proxy", "localhost"}});
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  ASSERT_EQ(exempt.Requests().size(), 1u) << "the exempt host, directly";
  for (const std::string& request : proxy.Requests()) EXPECT_EQ(request.find("localhost"), std::string::npos);
  EXPECT_EQ(proxy.Count("CONNECT "), 2);
  EXPECT_EQ(proxy.Count("HEAD http://" + imageHost), 2) << "where the redirect led, through the proxy";
  EXPECT_EQ(proxy.Count("GET http://" + imageHost + "/download/"), 6);
  EXPECT_GT(static_cast<int>(proxy.Requests().size()), requestsBefore) << "pings still go through the proxy";
}

TEST_F(InstallationTest, AnAutomaticProxyConfigurationRoutesEachHostItsOwnWay) {
  // As above, only the proxy's way out reaches the connection-test port; the
  // script served here sends the handshake straight to its host and the
  // rest through the proxy.
  StartService(s_image["image"], {"--http-port", "auto"});
  TinyProxy proxy(m_dir);
  ASSERT_TRUE(proxy.WaitUntilListening());
  const std::string proxyPort = proxy.Url().substr(proxy.Url().rfind(':') + 1);
  const std::string script =
      "function FindProxyForURL(url, host) {\n"
      "  if (url.indexOf(\"https://127.0.0.1:" +
      std::to_string(kHttpsPort) +
      "/\") == 0) return \"DIRECT\";\n"
      "  return \"PROXY 127.0.0.1:" +
      proxyPort + "\";\n}\n";
  TestHttpServer configuration([&](const TestHttpRequest&, TestHttpConnection& connection) {
    connection.SendResponse(200, script, "Content-Type: application/x-ns-proxy-autoconfig\r\n");
  });
  {
    const ScopedEnvironment environment(
        ProxyVariables({{"http_proxy", "pac+" + configuration.BaseUrl() + "/proxy.pac"}}));
    RunInstaller();
  }
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  EXPECT_GE(configuration.Requests().size(), 1u);
  EXPECT_TRUE(m_log.Contains("network: checking the connection through the proxy at 127.0.0.1:" + proxyPort));
  const std::string imageHost = "127.0.0.1:" + m_service["http_port"];
  EXPECT_EQ(proxy.Count("HEAD http://" + imageHost + "/download/"), 1);
  EXPECT_EQ(proxy.Count("GET http://" + imageHost + "/download/"), 3) << "the range requests";
  EXPECT_EQ(proxy.Count("CONNECT "), 0) << "the handshake goes direct";
}

// A managed network that inspects TLS: the handshake meets the proxy's own
// certificate, whose root an administrator put in the system's store alone.
TEST_F(InstallationTest, BehindATLSInspectingProxyTheHandshakeTrustsTheSystemsRoots) {
  StartService(s_image["image"]);
  const std::string inspection = m_dir.File("inspection");
  ASSERT_EQ(RunProcess({ToolPath("local-service/make-local-ca"), inspection}).exitCode, 0);
  const std::string portFile = m_dir.File("inspecting.port"), proxyLog = m_dir.File("inspecting.log");
  BackgroundProcess proxy({"python3", std::string(CLV_TOOLS_DIR) + "/../tests/support/tls_inspecting_proxy.py",
                           "--cert", inspection + "/server.pem", "--key", inspection + "/server.key", "--upstream-ca",
                           s_suite->File("ca/ca.pem"), "--log", proxyLog, "--port-file", portFile},
                          m_dir.File("inspecting.out"));
  ASSERT_TRUE(Eventually([&] { return PathExists(portFile); }));
  struct SystemRoots {
    explicit SystemRoots(const std::string& bundle) { KWLCCloudUtils::SetSystemCABundleForTesting(bundle); }
    ~SystemRoots() { KWLCCloudUtils::SetSystemCABundleForTesting(""); }
  } const roots(inspection + "/ca.pem");
  {
    const ScopedEnvironment environment(
        ProxyVariables({{"https_proxy", "http://127.0.0.1:" + ReadFileBytes(portFile)}}));
    RunInstaller();
  }
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  EXPECT_TRUE(
      m_log.Contains("handshake: the certificate is not trusted by the bundle's roots (res=60); "
                     "trying the system's roots"));
  EXPECT_TRUE(m_log.Contains("handshake: the certificate is trusted by the system's roots"));
  int refused = 0;
  for (const std::string& line : FileLines(proxyLog)) {
    if (line.rfind("client refused the certificate", 0) == 0) {
      ++refused;
    } else {
      EXPECT_EQ(line, "CONNECT 127.0.0.1:" + std::to_string(kHttpsPort));
    }
  }
  EXPECT_EQ(refused, 1) << "the bundle's roots, once";
}

// --- Real networks: redirects and outages ------------------------------------

// Credentials in the URLs (the handshake's and the redirect's) reach no log line.
TEST_F(InstallationTest, ARedirectedImageInstalls) {
  StartService(s_image["image"]);
  const std::string imageURL = m_service["image_url"];
  const std::string scheme = "http://";
  ASSERT_EQ(imageURL.rfind(scheme, 0), 0u);
  const std::string withCredentials = scheme + "u:secret@" + imageURL.substr(scheme.size());
  TestHttpServer redirect([&](const TestHttpRequest& request, TestHttpConnection& connection) {
    connection.SendResponse(302, "<html>moved</html>", "Location: " + withCredentials + "\r\n",
                            request.method == "HEAD");
  });
  std::string reply = ReadFileBytes(m_service["handshake_file"]);
  const size_t at = reply.find(imageURL);
  ASSERT_NE(at, std::string::npos);
  const std::string redirectURL = scheme + "u:secret@" + redirect.BaseUrl().substr(scheme.size()) + "/signed.dmg";
  WriteFileBytes(m_service["handshake_file"], reply.replace(at, imageURL.size(), redirectURL));
  RunInstaller();
  EXPECT_TRUE(m_log.Contains("Download URL: http://***@127.0.0.1:"));
  for (const std::string& line : m_log.Lines()) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  // The size query followed the redirect; the parts went straight to where it led.
  ASSERT_EQ(redirect.Requests().size(), 1u);
  EXPECT_EQ(redirect.Requests()[0].method, "HEAD");
  EXPECT_EQ(ImageFetches(FileLines(m_service["access_log"])).size(), 3u);
}

// An image host that only IPv6 reaches: every transfer tries IPv4 first
// and then both families, so the image arrives all the same.
TEST_F(InstallationTest, AnImageServedOnlyOverIPv6Installs) {
  StartService(s_image["image"]);
  RangeFileServer::Options options;
  options.ipv6 = true;
  RangeFileServer v6(ReadFileBytes(s_image["image"]), options);
  const std::string imageURL = m_service["image_url"];
  const std::string v6URL = "http://localhost:" + std::to_string(v6.Server().Port()) + "/file.bin";
  std::string reply = ReadFileBytes(m_service["handshake_file"]);
  const size_t at = reply.find(imageURL);
  ASSERT_NE(at, std::string::npos);
  WriteFileBytes(m_service["handshake_file"], reply.replace(at, imageURL.size(), v6URL));
  RunInstaller();
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  EXPECT_EQ(Sha256(ReadFileBytes(s_image["payload_path"])), s_image["payload_sha256"]);
  EXPECT_EQ(v6.HeadRequests(), 1);
  EXPECT_EQ(v6.RangeRequests(0), 1);
  EXPECT_TRUE(m_log.Contains("download: no IPv4 address or route for " + v6URL + " (curl 7), trying IPv6 as well"));
  EXPECT_TRUE(ImageFetches(FileLines(m_service["access_log"])).empty());
}

// A release already installed at its launch path (the same build or a
// newer one) is said before any byte of the image is asked for; an older
// build is downloaded and the setup replaces it.
TEST_F(InstallationTest, AnInstalledReleaseIsToldBeforeTheDownload) {
  const std::string bundle = s_suite->File("apps/Clipvane.app");
  for (const std::string installed : {"11.0.0.1234", "11.1", "11.0.0.999"}) {
    SCOPED_TRACE(installed);
    StartService(s_image["image"]);
    MakeFolders(bundle + "/Contents");
    WriteFileBytes(bundle + "/Contents/Info.plist",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                   "  <key>CFBundleVersion</key>\n  <string>" +
                       installed + "</string>\n</dict>\n</plist>\n");
    m_boxes.clear();
    RunInstaller();
    const int image = static_cast<int>(ImageFetches(FileLines(m_service["access_log"])).size());
    if (installed == "11.0.0.999") {
      EXPECT_TRUE(Boxes().empty()) << Boxes().front();
      EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
      EXPECT_EQ(Sha256(ReadFileBytes(s_image["payload_path"])), s_image["payload_sha256"]);
      EXPECT_EQ(image, 3);
    } else {
      ASSERT_EQ(Boxes().size(), 1u);
      EXPECT_NE(Boxes()[0].find("is already installed on this system"), std::string::npos) << Boxes()[0];
      EXPECT_NE(Boxes()[0].find("with the error code 32."), std::string::npos);
      for (const std::string& line : FileLines(m_service["access_log"]))
        EXPECT_EQ(line.find("/download/"), std::string::npos) << "asked for the image: " << line;
      EXPECT_FALSE(Pinged("DownloadBegin()"));
      EXPECT_TRUE(m_log.Contains("Installed: build " + installed + " at " + s_image["launch_path"] +
                                 ", not older than the release's 11.0.0.1234: nothing to download"));
    }
    RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
    RunProcess({"rm", "-rf", s_suite->File("apps")});
    MakeFolders(s_suite->File("apps"));
  }
}

// The origin goes away for 20 s once the first part has arrived (about half
// the image): the backoff outlasts it, no box is shown, and no byte that had
// arrived is fetched again: the cut-off parts go on from their last bytes.
TEST_F(InstallationTest, AnOriginDownFor20SecondsMidDownloadIsOutlasted) {
  KWLCBackoff::ResetSchedules();  // the users' schedule: outlasting the outage is the point
  const uint64_t imageBytes = ReadFileBytes(s_image["image"]).size();
  const std::vector<std::string> slow = {"--rate-limit", "2097152"};
  StartService(s_image["image"], slow);
  std::vector<std::string> beforeDrop;
  std::thread outage;
  RunInstaller([&](LCInstallerUICore&) {
    outage = std::thread([&] {
      ASSERT_TRUE(Eventually([&] {
        for (const ImageFetch& fetch : ImageFetches(FileLines(m_service["access_log"]))) {
          if (fetch.whole) return true;
        }
        return false;
      }));
      RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
      beforeDrop = FileLines(m_service["access_log"]);
      std::this_thread::sleep_for(std::chrono::seconds(20));  // the outage itself
      StartService(s_image["image"], slow);
    });
  });
  outage.join();
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);

  const std::vector<ImageFetch> before = ImageFetches(beforeDrop);
  const std::vector<ImageFetch> after = ImageFetches(FileLines(m_service["access_log"]));
  uint64_t fetched = 0;
  for (const ImageFetch& fetch : before) {
    fetched += fetch.bytes;
    if (!fetch.whole) continue;
    for (const ImageFetch& again : after) EXPECT_NE(again.range, fetch.range) << "a kept part was fetched again";
  }
  for (const ImageFetch& fetch : after) fetched += fetch.bytes;
  EXPECT_LE(fetched, imageBytes + imageBytes / 100);
  EXPECT_FALSE(after.empty());
}

// A crash or a kill -9 half-way loses (almost) nothing: the next launch
// fetches only what the record had not yet marked, saved every two seconds.
TEST_F(InstallationTest, AKilledDownloadGoesOnAtTheNextLaunch) {
  const uint64_t imageBytes = ReadFileBytes(s_image["image"]).size();
  StartService(s_image["image"], {"--rate-limit", "131072"});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RunInstaller();
    _exit(0);
  }
  const bool halfWay =
      Eventually([&] { return BytesFetched(FileLines(m_service["access_log"])) >= imageBytes * 6 / 10; },
                 std::chrono::seconds(120));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(halfWay);
  ASSERT_TRUE(WIFSIGNALED(status));
  RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
  const uint64_t beforeKill = BytesFetched(FileLines(m_service["access_log"]));
  StartService(s_image["image"]);
  RunInstaller();
  EXPECT_TRUE(Boxes().empty()) << Boxes().front();
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  EXPECT_TRUE(m_log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, going on from"));
  // Without the record the two launches would fetch 1.6 images or more.
  EXPECT_LT(beforeKill + BytesFetched(FileLines(m_service["access_log"])), imageBytes * 13 / 10);
}

// The origin stays away until the download is judged too slow (two windows
// of two seconds here, two minutes for users): the stage fails with 9002;
// the user's Retry, once it is back, fetches only the bytes still missing.
TEST_F(InstallationTest, TheUsersRetryAfter9002FetchesNoByteTwice) {
  const KWLCSlowServerLimits users = KWLCSlowServerLimits::Defaults();
  KWLCSlowServerLimits quick = users;
  quick.m_floorWindowSeconds = 2;
  KWLCSlowServerLimits::SetDefaults(quick);
  const uint64_t imageBytes = ReadFileBytes(s_image["image"]).size();
  const std::vector<std::string> slow = {"--rate-limit", "2097152"};
  StartService(s_image["image"], slow);
  std::string keptRange;
  std::thread outage;
  std::atomic<bool> dropped{false};
  m_beforeAnswer = [&] {
    if (!outage.joinable()) return;
    outage.join();
    m_beforeRetryLog = FileLines(m_service["access_log"]);
    StartService(s_image["image"]);
  };
  Answer({kLCInstallerMBResultRetry});
  RunInstaller([&](LCInstallerUICore&) {
    outage = std::thread([&] {
      ASSERT_TRUE(Eventually([&] {
        for (const ImageFetch& fetch : ImageFetches(FileLines(m_service["access_log"]))) {
          if (fetch.whole) keptRange = fetch.range;
        }
        return !keptRange.empty();
      }));
      RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
      dropped = true;
    });
  });
  if (outage.joinable()) outage.join();
  KWLCSlowServerLimits::SetDefaults(users);
  ASSERT_TRUE(dropped);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("with the error code 9002."), std::string::npos);
  EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
  uint64_t fetched = 0;
  for (const ImageFetch& fetch : ImageFetches(m_beforeRetryLog)) fetched += fetch.bytes;
  for (const ImageFetch& fetch : ImageFetches(FileLines(m_service["access_log"]))) {
    EXPECT_NE(fetch.range, keptRange) << "a kept part was fetched again";
    fetched += fetch.bytes;
  }
  EXPECT_LE(fetched, imageBytes + imageBytes / 100);
  EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty());
  EXPECT_TRUE(ListFolder(m_dir.File("cache")).empty()) << "the installed image is not kept";
}

// --- Signed releases ------------------------------------------------------------

// The reply's JSON with one value replaced after signing; the value is JSON.
std::string WithValue(std::string reply, const std::string& key, const std::string& value) {
  const std::regex field("\"" + key + "\": (\"[^\"]*\"|[0-9]+)");
  EXPECT_TRUE(std::regex_search(reply, field)) << key;
  return std::regex_replace(reply, field, "\"" + key + "\": " + value);
}

// Only a release that one of the build's keys signed, exactly as served, not
// older than the lowest build and not expired, gets as far as a download; a
// refused one is asked for twice, then says so in a box of its own. An
// unsigned build installs what it is given, as before.
TEST_F(InstallationTest, OnlyAReleaseSignedAsServedIsDownloaded) {
  const std::string keys = CLIPVANE_RELEASE_KEYS_DIR;
  const auto keyId = [](const std::string& folder) {
    return ParseKeyValues(RunProcess({ToolPath("publish-release"), "--make-key", folder}).out)["key_id"];
  };
  const std::string current = keyId(keys + "/release-1"), next = keyId(keys + "/release-2");
  const std::string stranger = keyId(m_dir.File("stranger"));
  ASSERT_EQ(current.size(), 16u);
  const LCReleaseVerifier minimum12(ReadFileBytes(keys + "/release-1/release-pub.pem"), "12");
  const std::string other = m_dir.File("other.dmg");
  WriteFileBytes(other, "not the signed image");

  struct Case {
    std::string name;
    std::vector<std::string> options;
    std::function<void()> afterStart;  // changes what is served
    bool unsigned_ = false;
    const LCReleaseVerifier* verifier = nullptr;
    std::string log;            // the line that says why (or which key)
    const char* box = nullptr;  // "9007", "9008", "9002", or none: installed
  };
  const auto edit = [this](const std::string& key, const std::string& value) {
    return [this, key, value] {
      WriteFileBytes(m_service["handshake_file"], WithValue(ReadFileBytes(m_service["handshake_file"]), key, value));
    };
  };
  const std::vector<Case> cases = {
      {"signed", {}, nullptr, false, nullptr, "DoHandshake, release signed by key " + current, nullptr},
      {"rotated key",
       {"--release-key", keys + "/release-2/release-key.pem"},
       nullptr,
       false,
       nullptr,
       "DoHandshake, release signed by key " + next,
       nullptr},
      {"sha256 changed",
       {},
       edit("sha256", "\"" + Sha256("x") + "\""),
       false,
       nullptr,
       "DoHandshake, release refused: no release key verifies the signature",
       "9007"},
      {"size changed", {}, edit("size", "1000"), false, nullptr, "", "9007"},
      {"build changed", {}, edit("clvbuildNumber", "\"11.0.0.1235\""), false, nullptr, "", "9007"},
      {"launch path changed", {}, edit("clvinstallPath", "\"/bin/sh\""), false, nullptr, "", "9007"},
      {"unknown key", {"--release-key", m_dir.File("stranger/release-key.pem")}, nullptr, false, nullptr, "", "9007"},
      {"not signed",
       {"--release-key", "none"},
       nullptr,
       false,
       nullptr,
       "DoHandshake, release refused: the reply is not signed",
       "9007"},
      {"below the lowest build",
       {},
       nullptr,
       false,
       &minimum12,
       "DoHandshake, release refused: build 11.0.0.1234 is not a build number at or above the minimum 12",
       "9007"},
      // Signed as published, but the server hands out another file.
      {"served image of another size",
       {},
       [this, other] {
         ASSERT_EQ(symlink(other.c_str(), (m_service["state_dir"] + "/www/next.dmg").c_str()), 0);
         ASSERT_EQ(rename((m_service["state_dir"] + "/www/next.dmg").c_str(),
                          (m_service["state_dir"] + "/www/OstrelClipvane11.dmg").c_str()),
                   0);
       },
       false,
       nullptr,
       "the server has 20 bytes where",
       "9002"},
      {"expired",
       {"--expires", "-1"},
       nullptr,
       false,
       nullptr,
       "DoHandshake, release refused: the release expired at ",
       "9007"},
      // The server's clock says the local one is days off: the box says so.
      {"expired, the local clock days ahead",
       {"--expires", "-1"},
       edit("serverUTCTimeS", std::to_string(time(nullptr) - 3 * 86400)),
       false,
       nullptr,
       "DoHandshake, the local clock (",
       "9008"},
      {"expired, then renewed without the image",
       {"--expires", "-1"},
       [this, keys] {
         const ProcessResult renewed = RunProcess({ToolPath("publish-release"), "--renew", m_service["handshake_file"],
                                                   "--key", keys + "/release-1/release-key.pem"});
         ASSERT_EQ(renewed.exitCode, 0) << renewed.err;
         WriteFileBytes(m_service["handshake_file"], renewed.out);
       },
       false,
       nullptr,
       "DoHandshake, release signed by key " + current,
       nullptr},
      {"unsigned build", {"--release-key", "none"}, nullptr, true, nullptr, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LCInstallerService::SetReleaseVerifierForTesting(c.unsigned_ ? &m_unsignedVerifier : c.verifier);
    StartService(s_image["image"], c.options);
    if (c.afterStart) c.afterStart();
    m_boxes.clear();
    {
      std::lock_guard<std::mutex> lock(g_pingMutex);
      g_pings.clear();
    }
    RunProcess({"rm", "-rf", s_suite->File("apps")});
    MakeFolders(s_suite->File("apps"));
    RunInstaller();
    EXPECT_TRUE(c.log.empty() || m_log.Contains(c.log)) << c.log;
    const std::vector<ImageFetch> fetches = ImageFetches(FileLines(m_service["access_log"]));
    if (c.box == nullptr) {
      EXPECT_TRUE(Boxes().empty()) << Boxes().front();
      EXPECT_EQ(m_finalState, kLCInstallerStateInstallDone);
      EXPECT_TRUE(Eventually([&] { return PathExists(s_suite->File("apps/clipvane-launched.txt")); }));
    } else {
      ASSERT_EQ(Boxes().size(), 1u);
      EXPECT_NE(Boxes()[0].find(std::string("with the error code ") + c.box + "."), std::string::npos) << Boxes()[0];
      EXPECT_TRUE(fetches.empty()) << "fetched " << fetches[0].range;
      EXPECT_FALSE(Pinged("ExtractBegin()"));
      EXPECT_TRUE(ListFolder(m_dir.File("tmp")).empty());
    }
    const std::string box = c.box == nullptr ? "" : c.box;
    if (box == "9007") {
      EXPECT_NE(Boxes()[0].find("Ostrel Clipvane could not be verified. Please try again later."), std::string::npos);
    } else if (box == "9008") {
      EXPECT_NE(Boxes()[0].find("Please check your computer's date and time."), std::string::npos);
    }
    if (c.box != nullptr && std::string(c.box) != "9002") {
      for (const std::string& line : FileLines(m_service["access_log"]))
        EXPECT_EQ(line.find("/download/"), std::string::npos) << "asked for the image: " << line;
      // The service logs each reply once it is sent: two, then no third.
      EXPECT_TRUE(Eventually([&] { return CountLines("handshake_log") >= 2; }));
      EXPECT_EQ(CountLines("handshake_log"), 2) << "a refused release is fetched twice";
    }
    RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_dir.File("service")});
  }
}

}  // namespace
