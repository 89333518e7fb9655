#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
}  // namespace

int KWApplicationLaunchUtil::LaunchApplication(const KWString& program, const std::vector<KWString>& arguments,
                                               int& exitCode, int waitPolicy, bool silenceOutput) {
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
  if (silenceOutput) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  // A bare name is looked up on PATH, a path is taken as it is.
  const bool searchPath = storage[0].find('/') == std::string::npos;
  const int result = searchPath ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                                : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return result;

  if (waitPolicy == kKWLaunchWait) {
    exitCode = WaitForExit(pid);
  } else {
    // Reap the child when it ends so that it never lingers as a zombie.
    std::thread([pid] { WaitForExit(pid); }).detach();
  }
  return 0;
}
