// The local service: nginx started and stopped by its scripts, reached over
// HTTPS verified by its own CA and over plain HTTP, with its logs read back.
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestUtil.h"
#include "ToolsTestUtil.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// Blanks, quotes and a backslash: the reply must stay valid JSON around them.
const char kLaunchPath[] = "/Applications/Ostrel \"Clipvane\" 11\\/Clipvane.app/Contents/MacOS/Clipvane";

struct HttpReply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  curl_off_t contentLength = -1;
};

size_t CollectBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

HttpReply Fetch(const std::string& url, const std::string& caFile = "", const std::string& range = "",
                bool head = false, const std::vector<std::string>& headers = {}) {
  HttpReply reply;
  CURL* handle = curl_easy_init();
  struct curl_slist* headerList = nullptr;
  for (const std::string& header : headers) headerList = curl_slist_append(headerList, header.c_str());
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
  if (!range.empty()) curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
  if (head) curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  reply.code = curl_easy_perform(handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &reply.contentLength);
  curl_slist_free_all(headerList);
  curl_easy_cleanup(handle);
  return reply;
}

std::vector<std::vector<std::string>> ReadTsv(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    std::string field;
    while (std::getline(split, field, '\t')) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// nginx logs a request after it has sent the reply, so a client can hold the
// reply before the line is written: wait for the lines to arrive.
std::vector<std::vector<std::string>> WaitForRows(const std::string& path, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<std::vector<std::string>> rows = ReadTsv(path);
  while (rows.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rows = ReadTsv(path);
  }
  return rows;
}

// A zombie waiting for the system to reap it no longer runs.
bool IsRunning(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "State:") == 0) return line.find('Z') == std::string::npos;
  }
  return false;
}

// Whether the process has the file open.
bool Holds(int pid, const std::string& path) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  bool holds = false;
  if (DIR* fds = opendir(folder.c_str())) {
    while (struct dirent* entry = readdir(fds)) {
      char target[4096];
      const ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof(target) - 1);
      holds = holds || (length > 0 && std::string(target, static_cast<size_t>(length)) == path);
    }
    closedir(fds);
  }
  return holds;
}

std::vector<int> ChildrenOf(int parent) {
  std::vector<int> children;
  if (DIR* proc = opendir("/proc")) {
    while (struct dirent* entry = readdir(proc)) {
      const int pid = std::atoi(entry->d_name);
      if (pid <= 0) continue;
      std::ifstream status(std::string("/proc/") + entry->d_name + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.compare(0, 5, "PPid:") == 0 && std::atoi(line.c_str() + 5) == parent) children.push_back(pid);
      }
    }
    closedir(proc);
  }
  return children;
}

// Processes whose command line names the nginx.conf of this state folder.
std::vector<int> ServiceProcessesOf(const std::string& state) {
  std::vector<int> found;
  if (DIR* proc = opendir("/proc")) {
    while (struct dirent* entry = readdir(proc)) {
      const int pid = std::atoi(entry->d_name);
      if (pid <= 0 || !IsRunning(pid)) continue;
      std::string cmdline = ReadFileBytes(std::string("/proc/") + entry->d_name + "/cmdline");
      for (char& c : cmdline) c = c == '\0' ? ' ' : c;
      if (cmdline.find("nginx") != std::string::npos && cmdline.find(state + "/nginx.conf ") != std::string::npos) {
        found.push_back(pid);
      }
    }
    closedir(proc);
  }
  return found;
}

class LocalServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"nginx", "openssl", "xorriso", "curl"}) {
      if (!HaveProgram(program)) GTEST_SKIP() << program << " is not installed";
    }
    const ProcessResult made =
        RunProcess({ToolPath("sample-product/make-sample-image"), "--output", m_work.File("clv.dmg"), "--install-dir",
                    m_work.File("Applications"), "--payload-bytes", "2500000"});
    ASSERT_EQ(0, made.exitCode) << made.err;
    m_image = ParseKeyValues(made.out)["image"];
    m_service = Start(m_work.File("state"));
    ASSERT_FALSE(m_service.empty());
  }

  void TearDown() override {
    for (const std::string& state : m_started)
      RunProcess({ToolPath("local-service/stop-local-service"), "--state", state});
  }

  std::map<std::string, std::string> Start(const std::string& state) {
    const ProcessResult started =
        RunProcess({ToolPath("local-service/start-local-service"), "--state", state, "--image", m_image,
                    "--launch-path", kLaunchPath, "--https-port", "auto", "--http-port", "auto"});
    m_started.push_back(state);
    EXPECT_EQ(0, started.exitCode) << started.err;
    return started.exitCode == 0 ? ParseKeyValues(started.out) : std::map<std::string, std::string>();
  }

  ScopedTempDir m_work;
  std::string m_image;
  std::map<std::string, std::string> m_service;
  std::vector<std::string> m_started;
};

TEST_F(LocalServiceTest, HandshakeAnswersOverHttpsVerifiedByTheLocalCA) {
  const HttpReply reply = Fetch(m_service["handshake_url"], m_service["ca_cert"], "", false,
                                {"ClientName:CLV-Installer", "ClientCampaign:cnet"});
  ASSERT_EQ(CURLE_OK, reply.code);
  EXPECT_EQ(200, reply.status);
  Json::Value root;
  Json::Reader reader;
  ASSERT_TRUE(reader.parse(reply.body, root)) << reply.body;
  EXPECT_EQ("success", root["result"].asString());
  EXPECT_EQ(m_service["image_url"], root["clvdownloadUrl"].asString());
  EXPECT_EQ(kLaunchPath, root["clvinstallPath"].asString());
  EXPECT_FALSE(root["clvbuildNumber"].asString().empty());
  const ProcessResult digest = RunProcess({"sha256sum", m_image});
  EXPECT_EQ(digest.out.substr(0, 64), root["sha256"].asString());
  // Published by tools/publish-release: signed by the key made with the CA.
  EXPECT_EQ(ReadFileBytes(m_image).size(), root["size"].asUInt64());
  EXPECT_FALSE(root["signature"].asString().empty());

  const auto rows = WaitForRows(m_service["handshake_log"], 1);
  ASSERT_EQ(1u, rows.size());
  ASSERT_EQ(11u, rows[0].size());
  EXPECT_EQ("CLV-Installer", rows[0][3]);
  EXPECT_EQ("cnet", rows[0][10]);

  // The certificate is the local CA's own: the system's trust store refuses it.
  const HttpReply untrusted = Fetch(m_service["handshake_url"], "/etc/ssl/certs/ca-certificates.crt");
  EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, untrusted.code);
  // ...and it names localhost as well as 127.0.0.1.
  const std::string byName = "https://localhost:" + m_service["https_port"] + "/handshake";
  EXPECT_EQ(CURLE_OK, Fetch(byName, m_service["ca_cert"]).code);
}

TEST_F(LocalServiceTest, ServesTheImageWithRanges) {
  const std::string image = ReadFileBytes(m_image);
  const HttpReply head = Fetch(m_service["image_url"], "", "", true);
  ASSERT_EQ(CURLE_OK, head.code);
  EXPECT_EQ(200, head.status);
  EXPECT_EQ(static_cast<curl_off_t>(image.size()), head.contentLength);

  const HttpReply part = Fetch(m_service["image_url"], "", "1000-1999");
  EXPECT_EQ(206, part.status);
  EXPECT_TRUE(part.body == image.substr(1000, 1000));
  const HttpReply tail = Fetch(m_service["image_url"], "", std::to_string(image.size() - 10) + "-");
  EXPECT_EQ(206, tail.status);
  EXPECT_TRUE(tail.body == image.substr(image.size() - 10));
  EXPECT_EQ(416, Fetch(m_service["image_url"], "", std::to_string(image.size()) + "-").status);

  const auto rows = WaitForRows(m_service["access_log"], 4);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ("bytes=1000-1999", rows[1][6]);
}

TEST_F(LocalServiceTest, PingIsAnsweredWithNoContentAndLogged) {
  const std::string url = "http://" + m_service["analytics_host"] +
                          "/t2o/ping?uid=User20260101120000rn42&app=CLVInstallerT2O&name=InstallBegin&value=0"
                          "&group=blank&version=1.0.0.0";
  const HttpReply reply = Fetch(url);
  ASSERT_EQ(CURLE_OK, reply.code);
  EXPECT_EQ(204, reply.status);
  const auto rows = WaitForRows(m_service["ping_log"], 1);
  ASSERT_EQ(1u, rows.size());
  ASSERT_GE(rows[0].size(), 7u);
  EXPECT_EQ("InstallBegin", rows[0][1]);
  EXPECT_EQ("0", rows[0][2]);
  EXPECT_EQ("User20260101120000rn42", rows[0][3]);
  EXPECT_EQ("1.0.0.0", rows[0][6]);
  // The connection test target answers on the same port.
  EXPECT_EQ(200, Fetch("http://" + m_service["connection_test_host"] + "/").status);
}

TEST_F(LocalServiceTest, HandshakeReplyFileCanBeRewrittenWhileRunning) {
  WriteFileBytes(m_service["handshake_file"], "{\"result\":\"failure\"}");
  const HttpReply reply = Fetch(m_service["handshake_url"], m_service["ca_cert"]);
  EXPECT_EQ("{\"result\":\"failure\"}", reply.body);
}

TEST_F(LocalServiceTest, StopEndsOnlyItsOwnProcesses) {
  // Open without close-on-exec, as the lock a test run is started under is:
  // nginx outlives the script that starts it and must not keep it.
  const int held = open(m_work.File("held").c_str(), O_WRONLY | O_CREAT, 0600);
  const std::map<std::string, std::string> other = Start(m_work.File("other"));
  close(held);
  ASSERT_FALSE(other.empty());
  EXPECT_FALSE(Holds(std::atoi(other.at("pid").c_str()), m_work.File("held")));
  const int master = std::atoi(m_service["pid"].c_str());
  const std::vector<int> workers = ChildrenOf(master);
  ASSERT_TRUE(IsRunning(master));
  ASSERT_FALSE(workers.empty());

  // Starting again from a running state folder is refused and changes nothing.
  EXPECT_EQ(1, RunProcess({ToolPath("local-service/start-local-service"), "--state", m_work.File("state"), "--image",
                           m_image, "--launch-path", "/x"})
                   .exitCode);

  const ProcessResult stop =
      RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_work.File("state")});
  EXPECT_EQ(0, stop.exitCode) << stop.err;
  EXPECT_FALSE(IsRunning(master));
  for (int worker : workers) EXPECT_FALSE(IsRunning(worker)) << worker;
  EXPECT_NE(CURLE_OK, Fetch(m_service["handshake_url"], m_service["ca_cert"]).code);

  EXPECT_EQ(200, Fetch("http://" + other.at("connection_test_host") + "/").status);
  EXPECT_THAT(RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_work.File("state")}).out,
              HasSubstr("not running"));
}

TEST_F(LocalServiceTest, StopFindsTheMasterWithoutItsPidFile) {
  const int master = std::atoi(m_service["pid"].c_str());
  ASSERT_EQ(0, unlink((m_service["state_dir"] + "/nginx.pid").c_str()));
  const ProcessResult stop =
      RunProcess({ToolPath("local-service/stop-local-service"), "--state", m_work.File("state")});
  EXPECT_EQ(0, stop.exitCode) << stop.err;
  EXPECT_THAT(stop.out, HasSubstr("stopped"));
  EXPECT_FALSE(IsRunning(master));
}

TEST_F(LocalServiceTest, FailedStartLeavesNoNginxRunning) {
  // nginx comes up, then the health check fails: a curl that always fails.
  const std::string fakeBin = m_work.File("fakebin");
  MakeFolders(fakeBin);
  WriteExecutable(fakeBin + "/curl", "#!/bin/sh\nexit 7\n");
  const std::string state = m_work.File("failing");
  const ProcessResult started =
      RunProcess({"env", "PATH=" + fakeBin + ":" + getenv("PATH"), ToolPath("local-service/start-local-service"),
                  "--state", state, "--image", m_image, "--launch-path", kLaunchPath});
  m_started.push_back(state);
  EXPECT_EQ(1, started.exitCode);
  EXPECT_THAT(started.err, HasSubstr("does not answer"));
  EXPECT_TRUE(PathExists(state + "/nginx.conf"));
  EXPECT_THAT(ServiceProcessesOf(state), IsEmpty());
}

TEST_F(LocalServiceTest, StateFolderOthersMayWriteOrOwnIsRefused) {
  const std::string shared = m_work.File("shared");
  MakeFolders(shared);
  ASSERT_EQ(0, chmod(shared.c_str(), 0777));
  std::vector<std::string> folders = {shared};
  if (getuid() == 0) {
    const std::string foreign = m_work.File("foreign");
    MakeFolders(foreign);
    ASSERT_EQ(0, chown(foreign.c_str(), 65534, 65534));
    folders.push_back(foreign);
  }
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    const ProcessResult start = RunProcess({ToolPath("local-service/start-local-service"), "--state", folder, "--image",
                                            m_image, "--launch-path", kLaunchPath});
    EXPECT_EQ(1, start.exitCode);
    EXPECT_THAT(start.err, HasSubstr("state folder"));
    EXPECT_FALSE(PathExists(folder + "/nginx.conf"));
    const ProcessResult stop = RunProcess({ToolPath("local-service/stop-local-service"), "--state", folder});
    EXPECT_EQ(1, stop.exitCode);
    EXPECT_THAT(stop.err, HasSubstr("state folder"));
  }
}

}  // namespace
