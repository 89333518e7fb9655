#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KWApplicationLaunchUtil.h"

extern char** environ;

namespace {

// The environment the process was started with, once KeepStartEnvironment has
// taken it; children get it rather than what the installer set for itself.
std::mutex g_startEnvironmentMutex;
std::vector<std::string>* g_startEnvironment = nullptr;

// An application bundle ("Clipvane.app") is a folder: the program to start is
// Contents/MacOS/<CFBundleExecutable>, or the bundle's own name without ".app"
// when Info.plist does not say. Anything else is started as it is.
std::string ResolveBundleExecutable(const std::string& program) {
  struct stat info;
  if (stat(program.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return program;
  std::string bundle = program;
  while (bundle.size() > 1 && bundle.back() == '/') bundle.pop_back();
  const std::string macOS = bundle + "/Contents/MacOS/";
  std::ifstream plist(bundle + "/Contents/Info.plist");
  std::stringstream text;
  text << plist.rdbuf();
  const std::string contents = text.str();
  const size_t key = contents.find("<key>CFBundleExecutable</key>");
  if (key != std::string::npos) {
    const size_t open = contents.find("<string>", key);
    const size_t close = contents.find("</string>", open);
    if (open != std::string::npos && close != std::string::npos) {
      const std::string name = contents.substr(open + 8, close - open - 8);
      if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..") return macOS + name;
    }
  }
  std::string name = bundle.substr(bundle.rfind('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0) name.resize(name.size() - 4);
  return macOS + name;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return ExitCodeOf(status);
}

// How often a cancellable wait looks at its flag, how long a cancelled group
// has to end on SIGTERM before SIGKILL, and how long a killed child may take
// to be reaped: one stuck in the kernel (a hung network file system) must not
// hold the quit for ever.
const int kPollMS = 50;
const int kTermGraceMS = 1000;
const int kKillGraceMS = 5000;

// Reads what is there; false at end of file or on an error.
bool ReadAvailable(int fd, std::string& output) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got > 0) {
      const size_t room = KWApplicationLaunchUtil::kMaxCapturedOutput - output.size();
      output.append(buffer, std::min(room, static_cast<size_t>(got)));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// Ends the child's process group and reaps the child; the group's other
// members are its own children, which the signal reaches as well.
void EndGroup(pid_t pid) {
  kill(-pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < kTermGraceMS; waited += kPollMS) {
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno != EINTR)) {
      kill(-pid, SIGKILL);  // stragglers of the group
      return;
    }
    poll(nullptr, 0, kPollMS);
  }
  kill(-pid, SIGKILL);
  for (int waited = 0; waited < kKillGraceMS; waited += kPollMS) {
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno != EINTR)) return;
    poll(nullptr, 0, kPollMS);
  }
  // Reaped whenever the kernel lets it go, so that it never lingers as a zombie.
  std::thread([pid] { WaitForExit(pid); }).detach();
}

// Waits for the child, collecting its standard output and error from the
// pipes in readFDs (-1 for none) and watching the cancel flag (or null).
int WaitWithOptions(pid_t pid, int readFDs[2], const std::atomic<bool>* cancel, int& exitCode,
                    std::string* captured[2]) {
  std::string text[2];
  for (int i = 0; i < 2; ++i) {
    if (readFDs[i] >= 0) fcntl(readFDs[i], F_SETFL, fcntl(readFDs[i], F_GETFL) | O_NONBLOCK);
  }
  int result = 0;
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) {
      exitCode = ExitCodeOf(status);
      // Only what is already there: a grandchild may keep the pipe open.
      for (int i = 0; i < 2; ++i) {
        if (readFDs[i] >= 0) ReadAvailable(readFDs[i], text[i]);
      }
      break;
    }
    if (reaped < 0 && errno != EINTR) {
      exitCode = -1;
      break;
    }
    if (cancel && cancel->load()) {
      EndGroup(pid);
      result = ECANCELED;
      break;
    }
    if (readFDs[0] >= 0 || readFDs[1] >= 0) {
      pollfd waiters[2] = {{readFDs[0], POLLIN, 0}, {readFDs[1], POLLIN, 0}};
      poll(waiters, 2, kPollMS);
      for (int i = 0; i < 2; ++i) {
        if (readFDs[i] >= 0 && !ReadAvailable(readFDs[i], text[i])) {
          close(readFDs[i]);
          readFDs[i] = -1;
        }
      }
    } else if (!cancel) {
      exitCode = WaitForExit(pid);
      break;
    } else {
      poll(nullptr, 0, kPollMS);
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (readFDs[i] >= 0) close(readFDs[i]);
    if (captured[i]) *captured[i] = text[i];
  }
  return result;
}

#if !defined(POSIX_SPAWN_CLOEXEC_DEFAULT) && !defined(HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDCLOSEFROM_NP)
// Without a spawn action that closes the rest, every descriptor above 2 is
// marked close-on-exec in the parent instead: the installer never executes
// anything itself, so the mark costs it nothing, and what a child must get is
// duplicated onto 0 to 2, which clears the mark there.
void MarkDescriptorsCloseOnExec() {
  const long limit = sysconf(_SC_OPEN_MAX);
  const int last = limit > 0 && limit < 65536 ? static_cast<int>(limit) : 65536;
  for (int fd = 3; fd < last; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}
#endif

int Spawn(const KWString& program, const std::vector<KWString>& arguments, bool silenceOutput, bool ownGroup,
          const int outputFDs[2], pid_t& pid) {
  if (program.empty()) return ENOENT;
  std::vector<std::string> storage;
  storage.reserve(arguments.size() + 1);
  storage.push_back(ResolveBundleExecutable(program.GetUTF8String()));
  for (const KWString& argument : arguments) storage.push_back(argument.GetUTF8String());
  std::vector<char*> argv;
  for (std::string& text : storage) argv.push_back(&text[0]);
  argv.push_back(nullptr);

  // The environment the installer was started with: what it set for its own
  // libraries (the session bus address) is not the child's business.
  std::vector<std::string> environment;
  bool kept = false;
  {
    std::lock_guard<std::mutex> lock(g_startEnvironmentMutex);
    kept = g_startEnvironment != nullptr;
    if (kept) environment = *g_startEnvironment;
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  char* const* childEnvironment = kept ? envp.data() : environ;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The child starts as if from a fresh shell: no terminal to read from (a
  // tool asking a question there would wait for ever), default signal
  // dispositions (the installer ignores SIGPIPE) and nothing blocked.
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  sigset_t allSignals, noSignals;
  sigfillset(&allSignals);
  sigemptyset(&noSignals);
  posix_spawnattr_setsigdefault(&attributes, &allSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (silenceOutput) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (outputFDs[0] >= 0) posix_spawn_file_actions_adddup2(&actions, outputFDs[0], STDOUT_FILENO);
  if (outputFDs[1] >= 0) posix_spawn_file_actions_adddup2(&actions, outputFDs[1], STDERR_FILENO);
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addinherit_np(&actions, fd);
#elif defined(HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDCLOSEFROM_NP)
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#else
  MarkDescriptorsCloseOnExec();
#endif
  if (ownGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);
  // A bare name is looked up on PATH, a path is taken as it is.
  const bool searchPath = storage[0].find('/') == std::string::npos;
  const int result = searchPath ? posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), childEnvironment)
                                : posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), childEnvironment);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

}  // namespace

void KWApplicationLaunchUtil::KeepStartEnvironment() {
  std::lock_guard<std::mutex> lock(g_startEnvironmentMutex);
  if (g_startEnvironment) return;
  g_startEnvironment = new std::vector<std::string>();
  for (char** entry = environ; entry && *entry; ++entry) g_startEnvironment->push_back(*entry);
}

int KWApplicationLaunchUtil::LaunchApplication(const KWString& program, const std::vector<KWString>& arguments,
                                               int& exitCode, int waitPolicy, bool silenceOutput) {
  pid_t pid = 0;
  const int noPipes[2] = {-1, -1};
  const int result = Spawn(program, arguments, silenceOutput, false, noPipes, pid);
  if (result != 0) return result;

  if (waitPolicy == kKWLaunchWait) {
    exitCode = WaitForExit(pid);
  } else {
    // Reap the child when it ends so that it never lingers as a zombie.
    std::thread([pid] { WaitForExit(pid); }).detach();
  }
  return 0;
}

int KWApplicationLaunchUtil::RunAndWait(const KWString& program, const std::vector<KWString>& arguments, int& exitCode,
                                        bool silenceOutput, const KWWaitOptions& options) {
  std::string* captured[2] = {options.m_output, options.m_errors};
  int readFDs[2] = {-1, -1};
  int writeFDs[2] = {-1, -1};
  const auto closeAll = [&] {
    for (int i = 0; i < 2; ++i) {
      if (readFDs[i] >= 0) close(readFDs[i]);
      if (writeFDs[i] >= 0) close(writeFDs[i]);
    }
  };
  for (int i = 0; i < 2; ++i) {
    if (!captured[i]) continue;
    int ends[2];
    if (pipe(ends) != 0) {
      const int error = errno;
      closeAll();
      return error;
    }
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    readFDs[i] = ends[0];
    writeFDs[i] = ends[1];
  }
  pid_t pid = 0;
  const int result = Spawn(program, arguments, silenceOutput, options.m_cancel != nullptr, writeFDs, pid);
  for (int& fd : writeFDs) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (result != 0) {
    closeAll();
    return result;
  }
  return WaitWithOptions(pid, readFDs, options.m_cancel, exitCode, captured);
}
