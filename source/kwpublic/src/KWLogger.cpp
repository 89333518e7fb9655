#include "KWLogger.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

KWLogger gKWLogger;

namespace {
// Values from outside (a server's build number, a URL) must not start a log
// line of their own or drive the terminal the console echo goes to: control
// bytes are written as escapes. keepLineBreaks keeps "\n" (and a "\r" right
// before it) for prepared multi-line text.
void AppendEscaped(std::string& out, const char* text, size_t length, bool keepLineBreaks) {
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool lineBreak = c == '\n' || (c == '\r' && i + 1 < length && text[i + 1] == '\n');
    if ((c >= 0x20 && c != 0x7f) || c == '\t' || (keepLineBreaks && lineBreak)) {
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += "\\x";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
}

// 0, or the errno of the write that failed; *written says how much got out.
int WriteAll(int fd, const char* data, size_t length, size_t* written = nullptr) {
  if (written) *written = 0;
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written) *written += static_cast<size_t>(put);
    data += put;
    length -= static_cast<size_t>(put);
  }
  return 0;
}

bool IsSchemeByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Where a URL's authority ends in running text: its path, query or fragment,
// or whatever cannot be part of it in a log line.
bool EndsAuthority(char c) {
  return c == '/' || c == '?' || c == '#' || c == '\\' || c == '"' || c == '\'' || c == '<' || c == '>' ||
         static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
}
}  // namespace

std::string KWLogger::MaskURLCredentials(const std::string& text) {
  static const std::string kSeparator = "://";
  static const std::string kMask = "***";
  std::string out;
  size_t copied = 0;
  for (size_t found = text.find(kSeparator); found != std::string::npos; found = text.find(kSeparator, found + 1)) {
    if (found == 0 || !IsSchemeByte(text[found - 1])) continue;
    const size_t start = found + kSeparator.size();
    size_t end = start;
    while (end < text.size() && !EndsAuthority(text[end])) ++end;
    // The host follows the last "@": a password may hold one unencoded.
    const size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start) continue;
    out.append(text, copied, start - copied);
    out += kMask;
    copied = at;
    found = end == 0 ? 0 : end - 1;
  }
  if (copied == 0) return text;
  out.append(text, copied, std::string::npos);
  return out;
}

KWLogger::~KWLogger() {
  if (m_fd >= 0) close(m_fd);
}

bool KWLogger::SetLogFilePath(const KWString& path) {
  // The log lives in a folder every user may write to: a name planted there
  // (a link to another file, a file of someone else's, a pipe) is refused
  // rather than written through, and the log stays private to its user.
  if (path.empty()) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    return false;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  struct stat info;
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1 ||
                  fchmod(fd, 0600) != 0)) {
    close(fd);
    fd = -1;
    errno = EPERM;
  }
  if (fd < 0) {
    const std::string message = "Log: " + path.GetUTF8String() + " refused (" + strerror(errno) +
                                "): not a file of this user's or a link; logging to the console only\n";
    WriteAll(STDERR_FILENO, message.data(), message.size());
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_fd >= 0) close(m_fd);
  m_fd = fd;
  return fd >= 0;
}

void KWLogger::Log(const char* format, ...) {
  char stackBuffer[1024];
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int needed = vsnprintf(stackBuffer, sizeof(stackBuffer), format, arguments);
  va_end(arguments);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof(stackBuffer)) {
    va_end(copy);
    WriteLine(stackBuffer, static_cast<size_t>(needed), false);
    return;
  }
  std::vector<char> heapBuffer(static_cast<size_t>(needed) + 1);
  vsnprintf(heapBuffer.data(), heapBuffer.size(), format, copy);
  va_end(copy);
  WriteLine(heapBuffer.data(), static_cast<size_t>(needed), false);
}

void KWLogger::LogString(const char* text, size_t length) { WriteLine(text, length, true); }

void KWLogger::WriteLine(const char* text, size_t length, bool keepLineBreaks) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char prefix[96];
  const size_t stamp = strftime(prefix, sizeof(prefix), "%Y-%m-%d %H:%M:%S", &local);
  const unsigned long threadId =
      static_cast<unsigned long>(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xFFFFFFFF);
  const int prefixLength = snprintf(prefix + stamp, sizeof(prefix) - stamp, ".%03d [%08lx] ",
                                    static_cast<int>(now.tv_usec / 1000), threadId);

  // One buffer and one write per destination keep lines whole even when
  // another process appends to the same file.
  std::string escaped;
  escaped.reserve(length);
  AppendEscaped(escaped, text, length, keepLineBreaks);
  std::string line;
  line.reserve(stamp + static_cast<size_t>(prefixLength) + escaped.size() + 1);
  line.append(prefix, stamp + static_cast<size_t>(prefixLength));
  line += MaskURLCredentials(escaped);
  if (line.back() != '\n') line.push_back('\n');

  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_fd >= 0) {
    // After a loss (a full disk) the file says how much is missing before
    // it goes on, in the same write as the line that follows.
    std::string out;
    if (m_lostLines > 0) {
      if (m_lineCutOff) out.push_back('\n');
      out.append(prefix, stamp + static_cast<size_t>(prefixLength));
      out += "Log: " + std::to_string(m_lostLines) + (m_lostLines == 1 ? " line was" : " lines were") +
             " lost, the log file could not be written (" + strerror(m_lostError) + ")\n";
    }
    const size_t noticeEnd = out.size();
    out += line;
    size_t written = 0;
    const int error = WriteAll(m_fd, out.data(), out.size(), &written);
    if (error == 0) {
      m_lostLines = 0;
      m_lineCutOff = false;
      m_lossReported = false;
    } else {
      // A notice that got out whole is not written again.
      if (noticeEnd > 0 && written >= noticeEnd) m_lostLines = 0;
      ++m_lostLines;
      m_lostError = error;
      if (written > 0) m_lineCutOff = out[written - 1] != '\n';
    }
    if (error != 0 && !m_lossReported) {
      // Once: on a full disk every later line fails the same way, and the
      // console is the only place left to say so.
      m_lossReported = true;
      const std::string notice = std::string("log: lines are being lost from the log file: ") + strerror(error) + "\n";
      WriteAll(STDERR_FILENO, notice.data(), notice.size());
    }
  }
  if (m_consoleOutput) WriteAll(STDOUT_FILENO, line.data(), line.size());
}
