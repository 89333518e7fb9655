#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "KWApplicationLaunchUtil.h"
#include "KWFileUtil.h"
#include "LCSingleInstance.h"
#include "TestUtil.h"

namespace {

// The argument recorder built beside the test binaries.
std::string Recorder() {
  return KWFileUtil::GetExecutableFile().GetParentKWPath().AppendNew("hdiutil").GetPathAsKWString().GetUTF8String();
}

// Children of this process that have ended but were not reaped. Asks ps,
// which macOS and Linux both have (macOS has no /proc).
int ZombieChildren() {
  int zombies = 0;
  FILE* ps = popen("ps -A -o ppid= -o stat=", "r");
  if (!ps) return -1;
  int parent = 0;
  char state[16];
  while (fscanf(ps, "%d %15s", &parent, state) == 2) {
    if (parent == getpid() && state[0] == 'Z') ++zombies;
  }
  pclose(ps);
  return zombies;
}

// A process that exists and has not ended (zombies have ended).
bool IsRunning(int pid) {
  FILE* ps = popen(("ps -o stat= -p " + std::to_string(pid)).c_str(), "r");
  if (!ps) return false;
  char state[16] = {};
  const bool listed = fscanf(ps, "%15s", state) == 1;
  pclose(ps);
  return listed && state[0] != 'Z';
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("FAKE_HDIUTIL_LOG", m_dir.File("args.txt").c_str(), 1); }
  void TearDown() override {
    unsetenv("FAKE_HDIUTIL_LOG");
    unsetenv("FAKE_HDIUTIL_EXIT");
  }
  ScopedTempDir m_dir;
};

TEST_F(LaunchTest, WaitReportsTheExitCodeAndPassesArgumentsUnchanged) {
  setenv("FAKE_HDIUTIL_EXIT", "32", 1);
  int exitCode = -1;
  const std::vector<KWString> arguments = {"attach", "/tmp/a b/c'd\"e.dmg", "-mountroot", "$HOME; rm -rf x", ""};
  ASSERT_EQ(KWApplicationLaunchUtil::LaunchApplication(Recorder(), arguments, exitCode,
                                                       KWApplicationLaunchUtil::kKWLaunchWait, false),
            0);
  EXPECT_EQ(exitCode, 32);
  EXPECT_EQ(ReadFileBytes(m_dir.File("args.txt")), "attach\n/tmp/a b/c'd\"e.dmg\n-mountroot\n$HOME; rm -rf x\n\n--\n");
}

TEST_F(LaunchTest, ApplicationBundleStartsItsMainExecutable) {
  // A bundle whose Info.plist names the executable, and one that does not.
  const std::string named = m_dir.File("Named.app");
  ASSERT_EQ(
      system(("mkdir -p '" + named + "/Contents/MacOS' && cp '" + Recorder() + "' '" + named + "/Contents/MacOS/Main'")
                 .c_str()),
      0);
  WriteFileBytes(named + "/Contents/Info.plist",
                 "<plist><dict><key>CFBundleName</key><string>x</string>"
                 "<key>CFBundleExecutable</key><string>Main</string></dict></plist>");
  const std::string plain = m_dir.File("Clip vane.app");
  ASSERT_EQ(system(("mkdir -p '" + plain + "/Contents/MacOS' && cp '" + Recorder() + "' '" + plain +
                    "/Contents/MacOS/Clip vane'")
                       .c_str()),
            0);
  int exitCode = -1;
  for (const std::string& bundle : {named, plain + "/"}) {
    ASSERT_EQ(KWApplicationLaunchUtil::LaunchApplication(bundle, {"--campaignID", "cnet"}, exitCode,
                                                         KWApplicationLaunchUtil::kKWLaunchWait, false),
              0)
        << bundle;
    EXPECT_EQ(exitCode, 0);
  }
  EXPECT_EQ(ReadFileBytes(m_dir.File("args.txt")), "--campaignID\ncnet\n--\n--campaignID\ncnet\n--\n");
  // A bundle without its executable does not start.
  ASSERT_EQ(system(("mkdir -p '" + m_dir.File("Empty.app") + "'").c_str()), 0);
  EXPECT_NE(KWApplicationLaunchUtil::LaunchApplication(m_dir.File("Empty.app"), {}, exitCode,
                                                       KWApplicationLaunchUtil::kKWLaunchNoWait, false),
            0);
}

TEST_F(LaunchTest, ChildrenGetOnlyTheStandardDescriptors) {
  // A descriptor without close-on-exec, as a library might leave one.
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  setenv("FAKE_HDIUTIL_FDS", m_dir.File("fds").c_str(), 1);
  int exitCode = -1;
  ASSERT_EQ(KWApplicationLaunchUtil::LaunchApplication(Recorder(), {}, exitCode, KWApplicationLaunchUtil::kKWLaunchWait,
                                                       false),
            0);
  EXPECT_EQ(ReadFileBytes(m_dir.File("fds")), "0\n1\n2\n");
  // Output capture hands the child its pipe as descriptor 1, nothing more.
  std::string output;
  KWApplicationLaunchUtil::KWWaitOptions options;
  options.m_output = &output;
  ASSERT_EQ(KWApplicationLaunchUtil::RunAndWait("/bin/sh", {"-c", "echo captured; exec '" + Recorder() + "'"}, exitCode,
                                                false, options),
            0);
  EXPECT_EQ(output, "captured\n");
  EXPECT_EQ(ReadFileBytes(m_dir.File("fds")), "0\n1\n2\n");
  unsetenv("FAKE_HDIUTIL_FDS");
  close(leaked);
}

TEST_F(LaunchTest, CancelEndsTheChildsWholeProcessGroup) {
  // The child leaves a grandchild that would outlive it, and reports its pid.
  std::atomic<bool> cancel{false};
  const std::string pidFile = m_dir.File("grandchild");
  std::thread canceller([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadFileBytes(pidFile).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    cancel = true;
  });
  KWApplicationLaunchUtil::KWWaitOptions options;
  options.m_cancel = &cancel;
  int exitCode = 0;
  EXPECT_EQ(KWApplicationLaunchUtil::RunAndWait(
                "/bin/sh",
                {"-c", "sleep 600 & echo $! > '" + pidFile + ".new'; mv '" + pidFile + ".new' '" + pidFile + "'; wait"},
                exitCode, false, options),
            ECANCELED);
  canceller.join();
  const int grandchild = std::stoi(ReadFileBytes(pidFile));
  // Ended, though perhaps not yet reaped by its new parent.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (IsRunning(grandchild) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(IsRunning(grandchild));
  EXPECT_EQ(ZombieChildren(), 0);
}

TEST_F(LaunchTest, KilledChildReportsTheSignal) {
  int exitCode = 0;
  ASSERT_EQ(KWApplicationLaunchUtil::LaunchApplication("/bin/sh", {"-c", "kill -9 $$"}, exitCode,
                                                       KWApplicationLaunchUtil::kKWLaunchWait, false),
            0);
  EXPECT_EQ(exitCode, 128 + 9);
}

TEST_F(LaunchTest, MissingProgramIsReportedAsNotStarted) {
  int exitCode = 0;
  EXPECT_NE(KWApplicationLaunchUtil::LaunchApplication(m_dir.File("no-such-program"), {}, exitCode,
                                                       KWApplicationLaunchUtil::kKWLaunchWait, false),
            0);
  EXPECT_NE(
      KWApplicationLaunchUtil::LaunchApplication("", {}, exitCode, KWApplicationLaunchUtil::kKWLaunchNoWait, false), 0);
  WriteFileBytes(m_dir.File("not-executable"), "#!/bin/sh\n");
  EXPECT_NE(KWApplicationLaunchUtil::LaunchApplication(m_dir.File("not-executable"), {}, exitCode,
                                                       KWApplicationLaunchUtil::kKWLaunchNoWait, false),
            0);
}

TEST_F(LaunchTest, NoWaitReturnsAtOnceAndLeavesNoZombie) {
  int exitCode = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(KWApplicationLaunchUtil::LaunchApplication(Recorder(), {"run"}, exitCode,
                                                         KWApplicationLaunchUtil::kKWLaunchNoWait, false),
              0);
  }
  // The children end on their own; wait (bounded) until all five have run,
  // then until none is left unreaped.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadFileBytes(m_dir.File("args.txt")) != "run\n--\nrun\n--\nrun\n--\nrun\n--\nrun\n--\n" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  while (ZombieChildren() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ZombieChildren(), 0);
}

// Only this user's own lock file counts: another user's file where ours
// would be, open to all and locked, keeps nobody out, and a link there is not
// followed.
TEST(SingleInstanceTest, OnlyOurOwnLockFileCounts) {
  ScopedTempDir dir;
  setenv("XDG_RUNTIME_DIR", dir.File("no-such-folder").c_str(), 1);  // the shared temporary folder instead
  setenv("TMPDIR", dir.Path().c_str(), 1);
  const std::string lockFile = LCSingleInstance::LockFilePath();
  EXPECT_EQ(lockFile.rfind(dir.Path() + "/", 0), 0u) << lockFile;
  {
    LCSingleInstance first;
    LCSingleInstance second;
    EXPECT_TRUE(first.IsOnlyInstance());
    EXPECT_FALSE(second.IsOnlyInstance());
  }
  ASSERT_EQ(unlink(lockFile.c_str()), 0);
  ASSERT_EQ(symlink(dir.File("chosen-by-someone").c_str(), lockFile.c_str()), 0);
  {
    LCSingleInstance instance;
    EXPECT_TRUE(instance.IsOnlyInstance());
  }
  EXPECT_FALSE(PathExists(dir.File("chosen-by-someone")));
  if (geteuid() == 0) {
    ASSERT_EQ(unlink(lockFile.c_str()), 0);
    const int foreign = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(foreign, 0);
    EXPECT_EQ(fchmod(foreign, 0666), 0);
    EXPECT_EQ(fchown(foreign, 12345, 12345), 0);
    EXPECT_EQ(flock(foreign, LOCK_EX), 0);
    LCSingleInstance instance;
    EXPECT_TRUE(instance.IsOnlyInstance()) << "another user's lock file blocked the installer";
    close(foreign);
  }
  unsetenv("TMPDIR");
  unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
