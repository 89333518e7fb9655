#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "KWException.h"
#include "KWInternet.h"
#include "LCDiskImageTool.h"
#include "LCInstallerService.h"
#include "LCProductLauncher.h"
#include "LCReleaseManifest.h"
#include "LCReleaseVerifier.h"
#include "TestDoubles.h"
#include "TestUtil.h"

namespace {

// A user interface that records the service's calls and answers error boxes
// from a script: each OnError pops the next answer (true = Retry).
class FakeUI : public StubInstallerUI {
 public:
  void OnInstallDone() override {
    ++installDoneCalls;
    if (throwOnInstallDone) throw std::runtime_error("UI gone");
  }
  void OnError(LCInstallerErrorEnum code) override {
    std::lock_guard<std::mutex> lock(mutex);
    errors.push_back(code);
    retry = !retryAnswers.empty() && retryAnswers.front();
    if (!retryAnswers.empty()) retryAnswers.erase(retryAnswers.begin());
  }
  // As in the real interface: only after Retry, before the launch and without an exit request.
  bool IsValidInstallAttempt() override { return retry && !exitRequested && state < kLCInstallerStateLaunchDone; }

  std::mutex mutex;
  std::vector<int> errors;
  std::vector<bool> retryAnswers;
  bool retry = false;
  bool throwOnInstallDone = false;
  std::atomic<int> installDoneCalls{0};
};

// Each pipeline run performs the next scripted step.
class ScriptedService : public LCInstallerService {
 public:
  using Step = std::function<void(ScriptedService&)>;
  ScriptedService(FakeUI& ui, IKWCustomExceptionHandler& handler, std::vector<Step> steps)
      : LCInstallerService(ui, handler), m_ui(ui), m_steps(std::move(steps)) {}
  ~ScriptedService() override { StopService(true); }

  void SetAttachedDisk(const std::string& device) { m_attachedDisks = {device}; }
  int runs = 0;

 protected:
  int DownloadAndInstallCLV() override {
    const size_t index = static_cast<size_t>(runs++);
    if (index < m_steps.size()) m_steps[index](*this);
    m_ui.state = kLCInstallerStateLaunchDone;  // a run that returns has launched the product
    return 0;
  }

 private:
  FakeUI& m_ui;
  std::vector<Step> m_steps;
};

void Succeed(ScriptedService&) {}
void Fail9002(ScriptedService&) { throw KWLCException(9002, "test", 1, false); }

class InstallerServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("FAKE_HDIUTIL_LOG", m_dir.File("hdiutil.txt").c_str(), 1);
    unsetenv("FAKE_HDIUTIL_EXIT");
  }
  void TearDown() override { unsetenv("FAKE_HDIUTIL_LOG"); }

  void RunService(ScriptedService& service) {
    service.StartService();
    service.Join();
  }
  // The recorded command lines of the disk-image tool, one string per run.
  std::vector<std::string> ToolRuns() {
    std::vector<std::string> runs;
    std::string current;
    for (const std::string& line : SplitLines(ReadFileBytes(m_dir.File("hdiutil.txt")))) {
      if (line == "--") {
        runs.push_back(current);
        current.clear();
      } else {
        current += (current.empty() ? "" : "|") + line;
      }
    }
    return runs;
  }
  static std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  ScopedTempDir m_dir;
  LogCapture m_log;
  FakeUI m_ui;
  CountingExceptionHandler m_handler;
};

TEST_F(InstallerServiceTest, SuccessfulRunEndsDoneWithoutErrorOrDetach) {
  ScriptedService service(m_ui, m_handler, {Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 1);
  EXPECT_TRUE(service.IsSuccess());
  EXPECT_TRUE(service.IsDone());
  EXPECT_TRUE(m_ui.errors.empty());
  EXPECT_EQ(m_ui.installDoneCalls, 1);
  EXPECT_TRUE(ToolRuns().empty()) << "nothing was mounted, so nothing may be detached";
  EXPECT_NE(m_log.IndexOf("LCInstallerService::Run"), -1);
}

TEST_F(InstallerServiceTest, RetryRunsThePipelineAgainUntilItSucceeds) {
  m_ui.retryAnswers = {true, true};
  ScriptedService service(m_ui, m_handler, {Fail9002, Fail9002, Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 3);
  EXPECT_EQ(m_ui.errors, (std::vector<int>{9002, 9002}));
  EXPECT_TRUE(service.IsSuccess());
  EXPECT_NE(m_log.IndexOf("Caught exception: 9002 validAttempt:0 exitRequested:0"), -1);
  EXPECT_NE(m_log.IndexOf("Caught exception: 9002 validAttempt:1 exitRequested:0"), -1);
}

TEST_F(InstallerServiceTest, FailureWithoutRetryEndsUnsuccessful) {
  m_ui.retryAnswers = {false};
  ScriptedService service(m_ui, m_handler, {Fail9002, Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 1);
  EXPECT_FALSE(service.IsSuccess());
  EXPECT_TRUE(service.IsDone());
  EXPECT_EQ(m_ui.installDoneCalls, 1);
}

TEST_F(InstallerServiceTest, ExitRequestedSuppressesErrorAndRetryButStillDetaches) {
  m_ui.retryAnswers = {true};
  ScriptedService service(m_ui, m_handler,
                          {[this](ScriptedService& s) {
                             s.SetAttachedDisk("/dev/disk4");
                             m_ui.retry = true;
                             m_ui.exitRequested = true;
                             Fail9002(s);
                           },
                           Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 1);
  EXPECT_TRUE(m_ui.errors.empty());
  EXPECT_EQ(m_ui.installDoneCalls, 1);
  EXPECT_EQ(ToolRuns(), (std::vector<std::string>{"detach|/dev/disk4"}));
  EXPECT_NE(m_log.IndexOf("Caught exception: 9002 validAttempt:0 exitRequested:1"), -1);
}

TEST_F(InstallerServiceTest, UnknownExceptionIsLoggedWithoutOnError) {
  ScriptedService service(m_ui, m_handler, {[](ScriptedService&) { throw std::runtime_error("odd"); }});
  RunService(service);
  EXPECT_TRUE(m_ui.errors.empty());
  EXPECT_FALSE(service.IsSuccess());
  EXPECT_TRUE(service.IsDone());
  EXPECT_NE(m_log.IndexOf("Caught unknown exception in LCInstallerService::Run"), -1);
  EXPECT_EQ(m_handler.calls, 0) << "the service catches it; the worker thread's handler is not involved";
}

TEST_F(InstallerServiceTest, FailedDetachIsForcedOnceAndLogsTheExitCodes) {
  setenv("FAKE_HDIUTIL_EXIT", "3", 1);
  const std::string mount = "/dev/disk7";
  ScriptedService service(m_ui, m_handler, {[&](ScriptedService& s) { s.SetAttachedDisk(mount); }});
  RunService(service);
  EXPECT_EQ(ToolRuns(), (std::vector<std::string>{"detach|" + mount, "detach|" + mount + "|-force"}));
  const int detaching = m_log.IndexOf("Detaching device " + mount);
  const int returned = m_log.IndexOf("hdiutil detach returned: 3");
  const int forcing = m_log.IndexOf("hdiutil: detach failed, trying again with -force");
  ASSERT_NE(detaching, -1);
  EXPECT_GT(returned, detaching);
  EXPECT_GT(forcing, returned);
  EXPECT_FALSE(m_log.Contains("Error while executing hdiutil for detach"));
}

TEST_F(InstallerServiceTest, ThrowingOnInstallDoneIsLoggedAndTheThreadStillEnds) {
  m_ui.throwOnInstallDone = true;
  ScriptedService service(m_ui, m_handler, {Succeed});
  RunService(service);
  EXPECT_TRUE(service.IsDone());
  EXPECT_NE(m_log.IndexOf("Caught unknown exception in LCInstallerService::Run when calling "
                          "m_uiInterface.OnInstallDone"),
            -1);
}

TEST_F(InstallerServiceTest, UnsupportedOperationsThrowInternalError) {
  ScriptedService service(m_ui, m_handler, {});
  for (const std::function<void()>& call : std::vector<std::function<void()>>{
           [&] { service.Pause(true); }, [&] { service.Resume(); }, [&] { service.StopService(false); }}) {
    try {
      call();
      ADD_FAILURE() << "expected KWLCException";
    } catch (const KWLCException& exception) {
      EXPECT_EQ(exception.GetCode(), kKWErrorInternal);
    }
  }
  EXPECT_FALSE(service.IsPaused());
}

// Holds the real pipeline at its connection check until released.
class HeldDetector : public IKWInternetConnectionDetector {
 public:
  void SetURLToConnect(const KWString&) override {}
  // Only the first look is held; the service looks again before it gives up.
  bool IsConnectedToInternet() override {
    if (m_looks++ == 0) {
      m_asked.set_value();
      m_release.get_future().wait();
    }
    return false;
  }
  std::promise<void> m_asked;
  std::promise<void> m_release;
  int m_looks = 0;  // service thread
};

TEST_F(InstallerServiceTest, DestructorJoinsARunningService) {
  // The service class itself, not a test double with a destructor of its
  // own: the thread is released only once the destructor has begun, so only
  // the destructor's own stop and join can see the run end inside the scope.
  HeldDetector detector;
  IKWInternetConnectionDetector::SetInstanceForTesting(&detector);
  std::thread releaser([&] {
    detector.m_asked.get_future().wait();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!m_log.Contains("LCInstallerService::StopService") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    detector.m_release.set_value();
  });
  {
    LCInstallerService service(m_ui, m_handler);
    service.StartService();
  }
  EXPECT_EQ(m_ui.installDoneCalls, 1) << "the run had not ended when the service was gone";
  EXPECT_EQ(m_ui.errors, std::vector<int>{kLCInstallerErrorNoNetwork});
  releaser.join();
  IKWInternetConnectionDetector::SetInstanceForTesting(nullptr);
  ASSERT_GE(m_log.IndexOf("LCInstallerService::StopService"), 0);
  EXPECT_LT(m_log.IndexOf("LCInstallerService::StopService"),
            m_log.IndexOf("Caught exception: 9000 validAttempt:0 exitRequested:0"));
}

// macOS opens the product's bundle through LaunchServices; a wrong bundle
// there starts nothing, or some other application.
TEST(ProductLauncherTest, FindsTheBundleOfTheLaunchPathAndBuildsTheOpenCommandLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/Applications/Clipvane.app/Contents/MacOS/Clipvane", "/Applications/Clipvane.app"},
      {"/Applications/Clipvane.app", "/Applications/Clipvane.app"},
      {"/Applications/Clipvane.app/", "/Applications/Clipvane.app"},
      {"/Volumes/My.app/Clipvane.app/Contents/MacOS/Clipvane", "/Volumes/My.app/Clipvane.app"},
      {"/Applications/Clipvane.app/Contents/MacOS/tools/helper", ""},
      {"/Applications/Clipvane.app/Contents/MacOS/", ""},
      {"/Applications/Clipvane.app/Contents/Resources/Clipvane", ""},
      {"/usr/local/bin/clipvane", ""},
  };
  for (const auto& [program, bundle] : cases) {
    EXPECT_EQ(LCApplicationBundleOf(program).GetUTF8String(), bundle) << program;
  }
  const std::vector<KWString> open = LCLaunchServicesArguments("/Applications/Clipvane.app", {"--campaignID", "cnet"});
  EXPECT_EQ(open, (std::vector<KWString>{"-n", "-a", "/Applications/Clipvane.app", "--args", "--campaignID", "cnet"}));
}

// hdiutil's answer for an image with several volumes, the mount root reached
// through a link as macOS's /var is: the volume holding the setup folder
// under the mount root is chosen, and the image is detached by its disk.
TEST_F(InstallerServiceTest, AttachReadsItsVolumesAndAQuitEndsIt) {
  const std::string real = m_dir.File("private/mnt");
  for (const std::string& folder : {m_dir.File("private"), real, real + "/Extras", real + "/Ostrel Clipvane 11",
                                    real + "/Ostrel Clipvane 11/Ostrel Clipvane 11", m_dir.File("outside"),
                                    m_dir.File("outside/Ostrel Clipvane 11")})
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << folder;
  ASSERT_EQ(symlink(m_dir.File("private").c_str(), m_dir.File("var").c_str()), 0);
  const auto entity = [](const std::string& device, const std::string& mountPoint) {
    return "<dict><key>content-hint</key><string>Apple_HFS</string><key>dev-entry</key><string>" + device +
           "</string>" + (mountPoint.empty() ? "" : "<key>mount-point</key><string>" + mountPoint + "</string>") +
           "<key>potentially-mountable</key><true/></dict>";
  };
  WriteFileBytes(m_dir.File("answer.plist"),
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>system-entities</key>"
                 "<array>" +
                     entity("/dev/disk5", "") + entity("/dev/disk5s3", m_dir.File("outside")) +
                     entity("/dev/disk5s1", real + "/Extras") + entity("/dev/disk5s2", real + "/Ostrel Clipvane 11") +
                     "</array></dict></plist>\n");
  setenv("FAKE_HDIUTIL_OUTPUT", m_dir.File("answer.plist").c_str(), 1);
  const std::string mountRoot = m_dir.File("var/mnt");
  const LCAttachOutcome attached = LCDiskImageTool::Attach("/images/a.dmg", mountRoot, nullptr);
  EXPECT_TRUE(attached.attached) << attached.reason;
  EXPECT_EQ(attached.entities.size(), 4u);
  EXPECT_EQ(LCDiskImageTool::WholeDisks(attached.entities), std::vector<std::string>{"/dev/disk5"});
  EXPECT_EQ(LCDiskImageTool::VolumeHolding(attached.entities, mountRoot, "Ostrel Clipvane 11"),
            real + "/Ostrel Clipvane 11");
  EXPECT_EQ(ToolRuns(),
            std::vector<std::string>{"attach|/images/a.dmg|-mountroot|" + mountRoot + "|-nobrowse|-noautoopen|-plist"});
  unsetenv("FAKE_HDIUTIL_OUTPUT");
  EXPECT_FALSE(attached.outOfSpace);

  // A full disk is told apart from every other failure.
  setenv("FAKE_HDIUTIL_EXIT", "1", 1);
  setenv("FAKE_HDIUTIL_ERROR", "hdiutil: attach failed - No space left on device", 1);
  EXPECT_TRUE(LCDiskImageTool::Attach("/images/a.dmg", mountRoot, nullptr).outOfSpace);
  setenv("FAKE_HDIUTIL_ERROR", "hdiutil: attach failed - image not recognized", 1);
  EXPECT_FALSE(LCDiskImageTool::Attach("/images/a.dmg", mountRoot, nullptr).outOfSpace);
  unsetenv("FAKE_HDIUTIL_ERROR");
  unsetenv("FAKE_HDIUTIL_EXIT");

  // An image asking for a licence would wait for ever: the quit ends it.
  setenv("FAKE_HDIUTIL_HANG", "1", 1);
  const std::atomic<bool> quit{true};
  EXPECT_TRUE(LCDiskImageTool::Attach("/images/a.dmg", mountRoot, &quit).cancelled);
  unsetenv("FAKE_HDIUTIL_HANG");
}

TEST(HttpsInsteadOfHttpTest, DropsOnlyTheHttpDefaultPort) {
  EXPECT_EQ(LCInstallerService::HttpsInsteadOfHttp("http://host:80/x:80"), "https://host/x:80");
  EXPECT_EQ(LCInstallerService::HttpsInsteadOfHttp("HTTP://u:p@host:0080?q"), "https://u:p@host?q");
  EXPECT_EQ(LCInstallerService::HttpsInsteadOfHttp("http://[::1]:80/x"), "https://[::1]/x");
  EXPECT_EQ(LCInstallerService::HttpsInsteadOfHttp("http://host:/x"), "https://host/x");
  EXPECT_EQ(LCInstallerService::HttpsInsteadOfHttp("http://host:8080/x"), "https://host:8080/x");
  EXPECT_EQ(LCInstallerService::HttpsInsteadOfHttp("http://[::80]/x"), "https://[::80]/x");
}

// A P-256 key pair made for one test.
class TestReleaseKey {
 public:
  TestReleaseKey() : m_key(EVP_EC_gen("P-256")) {}
  ~TestReleaseKey() { EVP_PKEY_free(m_key); }
  std::string PublicPEM() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, m_key);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const std::string pem(data, static_cast<size_t>(size));
    BIO_free(bio);
    return pem;
  }
  // A DER signature with the low s, as tools/publish-release makes them.
  std::string Sign(const std::string& message) const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t size = 80;
    std::string signature(size, '\0');
    EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, m_key);
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&signature[0]), &size,
                   reinterpret_cast<const unsigned char*>(message.data()), message.size());
    EVP_MD_CTX_free(context);
    signature.resize(size);
    return WithS(signature, true);
  }
  // The same signature with the low s, or with the high one: (r, s) and
  // (r, n - s) both verify.
  static std::string WithS(const std::string& der, bool low) {
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
    BIGNUM* order = nullptr;
    BN_hex2bn(&order, "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551");
    BIGNUM* other = BN_new();
    BN_sub(other, order, ECDSA_SIG_get0_s(signature));
    const bool isLow = BN_cmp(ECDSA_SIG_get0_s(signature), other) < 0;
    if (isLow != low) {
      ECDSA_SIG_set0(signature, BN_dup(ECDSA_SIG_get0_r(signature)), other);
    } else {
      BN_free(other);
    }
    unsigned char* out = nullptr;
    const int size = i2d_ECDSA_SIG(signature, &out);
    const std::string result(reinterpret_cast<char*>(out), static_cast<size_t>(size));
    OPENSSL_free(out);
    BN_free(order);
    ECDSA_SIG_free(signature);
    return result;
  }

 private:
  EVP_PKEY* m_key;
};

std::string Base64(const std::string& bytes) {
  std::string text(bytes.size() / 3 * 4 + 5, '\0');
  const int size =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(size));
  return text;
}

// The signed bytes are what tools/publish-release signs, and a signature has
// one spelling: anything else an attacker could vary is refused.
TEST(ReleaseVerifierTest, AcceptsOnlyTheCanonicalSignatureOfTheCanonicalForm) {
  LCReleaseManifest manifest;
  manifest.m_sha256 = std::string(64, 'a');
  manifest.m_sizeBytes = 1234;
  manifest.m_buildNumber = "11.0.0.1234";
  manifest.m_launchPath = "/Applications/Clipvane 11.app/Contents/MacOS/Clipvane";
  manifest.m_expiresUTCSeconds = 2000000000;
  const uint64_t now = 1900000000;
  std::string bytes, why, keyId;
  ASSERT_TRUE(manifest.Canonical(bytes, why));
  EXPECT_EQ(bytes, "clipvane-release-v2\nsha256=" + std::string(64, 'a') +
                       "\nsize=1234\nbuild=11.0.0.1234\nlaunch_path=/Applications/Clipvane 11.app/Contents/MacOS/"
                       "Clipvane\nexpires=2000000000\n");

  const TestReleaseKey retired, current, stranger;
  // Text around the blocks is ignored; the second key verifies.
  const LCReleaseVerifier verifier("keys\n" + retired.PublicPEM() + "\n" + current.PublicPEM(), "11.0");
  ASSERT_EQ(verifier.KeyIds().size(), 2u);
  const std::string der = current.Sign(bytes);
  EXPECT_TRUE(verifier.Verify(manifest, Base64(der), now, keyId, why)) << why;
  EXPECT_EQ(keyId, verifier.KeyIds()[1]);

  std::string respelled = Base64(der);
  const size_t padding = respelled.size() - respelled.find_last_not_of('=') - 1;
  if (padding > 0) respelled[respelled.size() - padding - 1] ^= 1;  // a bit the padding leaves unused
  const std::vector<std::pair<std::string, std::string>> signatures = {
      {"", "the reply is not signed"},
      // Bytes after the DER (up to the longest signature there is), or a
      // length that does not span it.
      {Base64(der + std::string(1, '\0')), der.size() < 72 ? "the signature is not one DER ECDSA signature"
                                                           : "the signature is not base64 of the right length"},
      {Base64(std::string(der).replace(1, 1, 1, static_cast<char>(der[1] - 1))),
       "the signature is not one DER ECDSA signature"},
      {Base64(der) + "\n", "the signature is not base64 of the right length"},
      {Base64(der).substr(0, Base64(der).find('=')) + "!", "the signature is not base64 of the right length"},
      {Base64(der) + Base64(der), "the signature is not base64 of the right length"},
      {stranger.Sign(bytes), "the signature is not base64 of the right length"},
      {Base64(stranger.Sign(bytes)), "no release key verifies the signature"},
      // (r, n - s) verifies too; only the low s is the signature's spelling.
      {Base64(TestReleaseKey::WithS(der, false)),
       "the signature's s is in the upper half of the order (the other spelling of a signature)"},
      // r and s padded with a zero byte they do not need.
      {Base64(std::string("\x30") + static_cast<char>(der[1] + 1) + "\x02" + static_cast<char>(der[3] + 1) +
              std::string(1, '\0') + der.substr(4)),
       "the signature is not one DER ECDSA signature"},
  };
  for (const auto& signature : signatures) {
    EXPECT_FALSE(verifier.Verify(manifest, signature.first, now, keyId, why)) << signature.first;
    EXPECT_EQ(why, signature.second) << signature.first;
    EXPECT_TRUE(keyId.empty());
  }
  EXPECT_TRUE(padding == 0 || !verifier.Verify(manifest, respelled, now, keyId, why)) << respelled;

  // Fields the form cannot carry are refused before any key is tried; an
  // older build and an expired release are refused even when signed, and a
  // release without an expiry (the form before it had one) is not accepted.
  const std::vector<std::pair<std::function<void(LCReleaseManifest&)>, std::string>> fields = {
      {[](LCReleaseManifest& m) { m.m_sha256 = std::string(64, 'A'); }, "sha256 is not 64 lower-case hex digits"},
      {[](LCReleaseManifest& m) { m.m_sizeBytes = 0; }, "no image size"},
      {[](LCReleaseManifest& m) { m.m_buildNumber = "11.0.0.1234\nlaunch_path=/bin/sh"; },
       "the build number is empty or holds control bytes"},
      {[](LCReleaseManifest& m) { m.m_launchPath = "Clipvane.app"; },
       "the launch path is not absolute or holds control bytes"},
      {[](LCReleaseManifest& m) { m.m_buildNumber = "10.99"; },
       "build 10.99 is not a build number at or above the minimum 11.0"},
      {[](LCReleaseManifest& m) { m.m_buildNumber = "beta"; },
       "build beta is not a build number at or above the minimum 11.0"},
      {[](LCReleaseManifest& m) { m.m_expiresUTCSeconds = 0; },
       "no expiry (a release without one never expires and is not accepted)"},
      {[now](LCReleaseManifest& m) { m.m_expiresUTCSeconds = now; },
       "the release expired at 1900000000 (UTC seconds), it is now 1900000000"},
  };
  for (const auto& field : fields) {
    LCReleaseManifest changed = manifest;
    field.first(changed);
    std::string changedBytes;
    const std::string signature = changed.Canonical(changedBytes, why) ? Base64(current.Sign(changedBytes)) : "MA==";
    bool expired = false;
    EXPECT_FALSE(verifier.Verify(changed, signature, now, keyId, why, &expired));
    EXPECT_EQ(why, field.second);
    EXPECT_EQ(expired, changed.m_expiresUTCSeconds == now);
  }

  const LCReleaseVerifier unsignedBuild("", "");
  EXPECT_FALSE(unsignedBuild.IsSigned());
  EXPECT_FALSE(unsignedBuild.Verify(manifest, Base64(der), now, keyId, why));
  // Keys given but none usable: still signed, so nothing is accepted.
  const LCReleaseVerifier broken("-----BEGIN PUBLIC KEY-----\nMAo=\n-----END PUBLIC KEY-----\n", "");
  EXPECT_TRUE(broken.IsSigned());
  EXPECT_FALSE(broken.Verify(manifest, Base64(der), now, keyId, why));
}

TEST(ReleaseVerifierTest, BuildNumbersCompareAsNumbersPartByPart) {
  const std::vector<std::tuple<const char*, const char*, int>> ordered = {
      {"11.10", "11.9", 1},  {"11.0", "11.0.0", 0},
      {"011.2", "11.2", 0},  {"9", "10", -1},
      {"11.0.0.1", "11", 1}, {"123456789012345678901234567890", "123456789012345678901234567889", 1}};
  for (const auto& c : ordered) {
    int order = 99;
    ASSERT_TRUE(LCReleaseManifest::CompareBuildNumbers(std::get<0>(c), std::get<1>(c), order)) << std::get<0>(c);
    EXPECT_EQ(order, std::get<2>(c)) << std::get<0>(c) << " vs " << std::get<1>(c);
  }
  for (const char* bad : {"", ".1", "1.", "1..2", "v11", "1.-2", "1 .2", "+1"}) {
    int order = 0;
    EXPECT_FALSE(LCReleaseManifest::CompareBuildNumbers(bad, "1", order)) << bad;
  }
}

}  // namespace
