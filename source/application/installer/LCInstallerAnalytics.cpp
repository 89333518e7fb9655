#include "LCInstallerAnalytics.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <random>
#include <string>

#include "KWException.h"
#include "KWFileUtil.h"
#include "KWInternet.h"
#include "KWLogger.h"
#include "LCInstallerDefines.h"
#include "LCInstallerEndpoints.h"
#include "LCTimestamp.h"

KWSharedDeque<LCInstallerTTOPingData> LCInstallerAnalytics::m_queue;
std::unique_ptr<LCInstallerTTOThread> LCInstallerAnalytics::ms_thread;

namespace {
std::atomic<LCInstallerAnalytics::PingObserver> g_pingObserver{nullptr};
}  // namespace

namespace {

const char* const talkToOstrelDirName = "Access Ostrel Resource";
const char* const kUserIdFileName = "userid.txt";
const char* const kOptOutFileName = "disableTTO.txt";
const char* const kUserIdPattern = "Useryyyymmddhhmmssrnnn";
const size_t kUserIdLength = 22;

std::mutex g_hostMutex;
std::string g_hostOverride;  // guarded by g_hostMutex

KWString AnalyticsHost() {
  std::lock_guard<std::mutex> lock(g_hostMutex);
  return g_hostOverride.empty() ? KWString(kCLVAnalyticsHost) : KWString(g_hostOverride);
}

KWString GetTwoDigitCLVVersionNumber() {
  return KWString().AppendNumber(kCLVVersionMajor).Append(".").AppendNumber(kCLVVersionMinor);
}

KWString GetVersionNumber() {
  return KWString()
      .AppendNumber(kLCInstallerVersionMajor)
      .Append(".")
      .AppendNumber(kLCInstallerVersionMinor)
      .Append(".")
      .AppendNumber(kLCInstallerVersionRevision)
      .Append(".")
      .AppendNumber(kLCInstallerVersionBuild);
}

KWString GetCLVTalkToOstrelDirName() { return KWString(talkToOstrelDirName) + " " + GetTwoDigitCLVVersionNumber(); }

KWString GetPreferencesFolderName() { return KWString("Clipvane ") + GetTwoDigitCLVVersionNumber(); }

// Two digits, zero-padded, so that every new id has 22 characters and is
// kept at the next ping.
KWString RandomTwoDigits() {
  static std::mutex mutex;
  static std::mt19937 generator{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mutex);
  const unsigned value = std::uniform_int_distribution<unsigned>(0, 99)(generator);
  KWString digits;
  if (value < 10) digits.Append("0");
  return digits.AppendNumber(value);
}

// "User", 14 digits of the time, "rn", 2 random digits: anything else in the
// file (which anyone who can write the user's folder may have put there) is
// not an id of ours and goes into no URL.
bool IsUserId(const std::string& text) {
  const std::string pattern = kUserIdPattern;
  if (text.size() != kUserIdLength) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    const bool literal = i < 4 || (i >= 18 && i < 20);
    if (literal ? text[i] != pattern[i] : !digit) return false;
  }
  return true;
}

// The stored id, or empty. Only a regular file of this user's is read: no
// link is followed and nothing (a FIFO) makes the open or the read wait.
std::string ReadUserIdFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string();
  struct stat info;
  std::string text;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
      info.st_size == static_cast<off_t>(kUserIdLength)) {
    text.resize(kUserIdLength);
    if (read(fd, &text[0], text.size()) != static_cast<ssize_t>(text.size())) text.clear();
  }
  close(fd);
  return IsUserId(text) ? text : std::string();
}

// Puts a new file in place of whatever is at path (a link is replaced, not
// followed). False when it could not be stored.
bool WriteUserIdFile(const std::string& path, const std::string& id) {
  std::string staging = path + ".XXXXXX";
  const int fd = mkstemp(&staging[0]);
  if (fd < 0) return false;
  const bool written = fchmod(fd, 0644) == 0 && write(fd, id.data(), id.size()) == static_cast<ssize_t>(id.size());
  close(fd);
  if (!written || rename(staging.c_str(), path.c_str()) != 0) {
    unlink(staging.c_str());
    return false;
  }
  return true;
}

// The id this run last read or made, and the file it belongs to: when the
// file cannot be read back (a folder, or a file that cannot be written, in
// its place) every ping of the run still carries the same id, not a new one.
// Only the analytics thread reads and writes them.
std::string g_runIdFile;
std::string g_runId;

KWString GetUniqueUserId() {
  const KWString dir = LCInstallerAnalytics::GetCLVTalkToOstrelDirectory();
  if (dir.empty() || !KWFile(dir).DoesFileExist()) {
    KWAssertFailed("Talk To Ostrel Directory not present", __FILE__, __LINE__);
    return KWString();
  }
  const std::string file = (dir + KWFileUtil::GetDirectorySeparator() + kUserIdFileName).GetUTF8String();
  const std::string stored = ReadUserIdFile(file);
  if (stored.empty() && g_runIdFile == file && !g_runId.empty()) {
    WriteUserIdFile(file, g_runId);  // said once, when the id was made
    return KWString(g_runId);
  }
  g_runIdFile = file;
  if (!stored.empty()) {
    g_runId = stored;
    return KWString(stored);
  }
  const KWString id = KWString("User") + LCFormatWeekYearTimestamp() + "rn" + RandomTwoDigits();
  g_runId = id.GetUTF8String();
  if (!WriteUserIdFile(file, g_runId)) KWLOG("Analytics: the user id could not be stored");
  return id;
}

}  // namespace

KWString LCInstallerAnalytics::PercentEncode(const KWString& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text.GetUTF8String()) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return KWString(out);
}

KWString LCInstallerAnalytics::GetCLVTalkToOstrelDirectory() {
  const KWPath path =
      KWPath(KWFileUtil::GetUserApplicationDataFolder().GetPathAsKWString() + KWFileUtil::GetDirectorySeparator() +
             "Ostrel" + KWFileUtil::GetDirectorySeparator() + GetCLVTalkToOstrelDirName());
  if (!KWFile(path).DoesFileExist() && !KWFileUtil::CreateDirectory(path, true)) {
    KWAssertFailed("Talk To Ostrel Dir could not be created", __FILE__, __LINE__);
    return KWString();
  }
  return path.GetPathAsKWString();
}

KWString LCInstallerAnalytics::GetOptOutFilePath() {
  return KWFileUtil::GetUserPreferenceFolder(GetPreferencesFolderName())
      .AppendNew(kOptOutFileName, KWPath::kKWPathKindFile)
      .GetPathAsKWString();
}

KWString LCInstallerAnalytics::GetPingUrl(const KWString& name, const KWString& value) {
  const KWString uid = GetUniqueUserId();
  if (uid.empty() || name.empty()) return KWString();
  return KWString("http://") + AnalyticsHost() + "/t2o/ping?uid=" + PercentEncode(uid) + "&app=" + "CLVInstallerT2O" +
         "&name=" + PercentEncode(name) + "&value=" + PercentEncode(value) + "&group=" + "blank" +
         "&version=" + GetVersionNumber();
}

void LCInstallerAnalytics::SetServerHostForTesting(const KWString& host) {
  std::lock_guard<std::mutex> lock(g_hostMutex);
  g_hostOverride = host.GetUTF8String();
}

void LCInstallerAnalytics::StartThread(IKWCustomExceptionHandler& handler) {
  if (!ms_thread) ms_thread.reset(new LCInstallerTTOThread(handler, m_queue));
  ms_thread->Start();
}

void LCInstallerAnalytics::StopThread() {
  if (ms_thread) ms_thread->Stop();
}

void LCInstallerAnalytics::PingTalkToOstrelServer(const KWString& name, const KWString& value) {
  const LCInstallerTTOPingData ping(name, value);
  if (PingObserver observer = g_pingObserver.load()) observer(ping);
  m_queue.PushBack(ping);
}

void LCInstallerAnalytics::SetPingObserverForTesting(PingObserver observer) { g_pingObserver = observer; }

LCInstallerTTOThread::LCInstallerTTOThread(IKWCustomExceptionHandler& handler,
                                           KWSharedDeque<LCInstallerTTOPingData>& queue)
    : m_workerThread(handler, *this, kKWThreadPriorityNormal), m_queue(queue) {}

LCInstallerTTOThread::~LCInstallerTTOThread() { m_stopRequested = true; }

void LCInstallerTTOThread::Start() {
  {
    KWLock lock(m_endMutex);
    m_ended = false;
  }
  m_abortRequested = false;
  m_workerThread.start();
}

void LCInstallerTTOThread::Stop() {
  m_queue.PushBack(LCInstallerTTOPingData());
  {
    // A dead analytics server must not hold up the quit: each ping may take
    // its full request time-out, and many may be queued.
    KWLock lock(m_endMutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopDeadlineMS);
    while (!m_ended) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      m_endCondition.wait_for(lock, static_cast<unsigned int>(left.count()));
    }
    if (!m_ended) m_abortRequested = true;
  }
  m_workerThread.join();
}

int LCInstallerTTOThread::DropUntilSentinel() {
  int dropped = 0;
  for (;;) {
    LCInstallerTTOPingData ping;
    m_queue.Front(ping);
    m_queue.PopFront();
    if (ping.m_name.empty() && ping.m_value.empty()) return dropped;
    ++dropped;
  }
}

void LCInstallerTTOThread::ThreadRun() {
  struct EndSignal {
    explicit EndSignal(LCInstallerTTOThread& owner) : m_owner(owner) {}
    ~EndSignal() {
      KWLock lock(m_owner.m_endMutex);
      m_owner.m_ended = true;
      m_owner.m_endCondition.notify_all();
    }
    LCInstallerTTOThread& m_owner;
  } endSignal(*this);

  for (;;) {
    if (m_stopRequested) return;
    if (m_abortRequested) {
      const int dropped = DropUntilSentinel();
      KWLOG("Analytics: stop deadline of %u ms reached, %d queued pings dropped", kStopDeadlineMS, dropped);
      return;
    }
    LCInstallerTTOPingData ping;
    m_queue.Front(ping);
    m_queue.PopFront();
    if (ping.m_name.empty() && ping.m_value.empty()) return;

    bool sent = false;
    try {
      KWLOG("TTO %s %s", ping.m_name.c_str(), ping.m_value.c_str());
      const KWString url = LCInstallerAnalytics::GetPingUrl(ping.m_name, ping.m_value);
      if (url.empty()) continue;
      if (KWFile(LCInstallerAnalytics::GetOptOutFilePath()).DoesFileExist()) continue;
      sent = IKWInternetFileDownloader::GetInstance(IFDProxyParams())->SendHTTPRequestToURL(url, m_abortRequested);
    } catch (...) {
      sent = false;
    }
    if (!sent) KWLOG("TTO error");
  }
}
