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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KWApplicationLaunchUtil.h"

extern char** environ;

namespace {

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

// How often a cancellable wait looks at its flag, and how long a cancelled
// group has to end on SIGTERM before SIGKILL.
const int kPollMS = 50;
const int kTermGraceMS = 1000;

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
  WaitForExit(pid);
}

// Waits for the child, collecting its output from readFD (or -1) and
// watching the cancel flag (or null).
int WaitWithOptions(pid_t pid, int readFD, const std::atomic<bool>* cancel, int& exitCode, std::string* output) {
  if (readFD >= 0) fcntl(readFD, F_SETFL, fcntl(readFD, F_GETFL) | O_NONBLOCK);
  std::string captured;
  int result = 0;
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) {
      exitCode = ExitCodeOf(status);
      // Only what is already there: a grandchild may keep the pipe open.
      if (readFD >= 0) ReadAvailable(readFD, captured);
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
    if (readFD >= 0) {
      pollfd waiter{readFD, POLLIN, 0};
      poll(&waiter, 1, kPollMS);
      if (!ReadAvailable(readFD, captured)) {
        close(readFD);
        readFD = -1;
      }
    } else if (!cancel) {
      exitCode = WaitForExit(pid);
      break;
    } else {
      poll(nullptr, 0, kPollMS);
    }
  }
  if (readFD >= 0) close(readFD);
  if (output) *output = captured;
  return result;
}

int Spawn(const KWString& program, const std::vector<KWString>& arguments, bool silenceOutput, bool ownGroup,
          int outputFD, pid_t& pid) {
  if (program.empty()) return ENOENT;
  std::vector<std::string> storage;
  storage.reserve(arguments.size() + 1);
  storage.push_back(ResolveBundleExecutable(program.GetUTF8String()));
  for (const KWString& argument : arguments) storage.push_back(argument.GetUTF8String());
  std::vector<char*> argv;
  for (std::string& text : storage) argv.push_back(&text[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  short flags = 0;
  if (silenceOutput) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (outputFD >= 0) posix_spawn_file_actions_adddup2(&actions, outputFD, STDOUT_FILENO);
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addinherit_np(&actions, fd);
#elif defined(HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDCLOSEFROM_NP)
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#else
#error "no way to start a child with only descriptors 0 to 2"
#endif
  if (ownGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);
  // A bare name is looked up on PATH, a path is taken as it is.
  const bool searchPath = storage[0].find('/') == std::string::npos;
  const int result = searchPath ? posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ)
                                : posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

}  // namespace

int KWApplicationLaunchUtil::LaunchApplication(const KWString& program, const std::vector<KWString>& arguments,
                                               int& exitCode, int waitPolicy, bool silenceOutput) {
  pid_t pid = 0;
  const int result = Spawn(program, arguments, silenceOutput, false, -1, pid);
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
  int pipeFDs[2] = {-1, -1};
  if (options.m_output && pipe(pipeFDs) != 0) return errno;
  for (int fd : pipeFDs) {
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  pid_t pid = 0;
  const int result = Spawn(program, arguments, silenceOutput, options.m_cancel != nullptr, pipeFDs[1], pid);
  if (pipeFDs[1] >= 0) close(pipeFDs[1]);
  if (result != 0) {
    if (pipeFDs[0] >= 0) close(pipeFDs[0]);
    return result;
  }
  return WaitWithOptions(pid, pipeFDs[0], options.m_cancel, exitCode, options.m_output);
}
