#include "KWLCDownloadRecord.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "KWLCSha256.h"
#include "KWLogger.h"

namespace {

const char kFormat[] = "clipvane-download-record-v1";
// A record holds a few fields and one number per part: anything larger is
// not one of ours.
const size_t kMaxRecordBytes = 256 * 1024;
const uint64_t kMaxParts = 1 << 16;

std::string Checksum(const std::string& body) {
  KWLCSha256 hash;
  hash.Update(body.data(), body.size());
  return hash.FinalHex();
}

// Digits only, no sign, no overflow.
bool ParseUInt64(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  value = parsed;
  return true;
}

// A value that would break the one-field-a-line form is not recorded.
bool IsOneLine(const std::string& value) { return value.find_first_of("\r\n") == std::string::npos; }

}  // namespace

KWLCDownloadRecord::KWLCDownloadRecord()
    : m_fileSizeBytes(0), m_partSizeBytes(0), m_createdSeconds(0), m_hashedBytes(0) {}

KWLCDownloadRecord::~KWLCDownloadRecord() = default;

bool KWLCDownloadRecord::HasKeptParts() const {
  return std::any_of(m_doneBytes.begin(), m_doneBytes.end(), [](uint64_t done) { return done != 0; });
}

uint64_t KWLCDownloadRecord::GetKeptBytes() const {
  uint64_t kept = 0;
  for (uint64_t done : m_doneBytes) kept += done;
  return kept;
}

uint64_t KWLCDownloadRecord::GetPartLength(uint64_t number) const {
  const uint64_t first = number * m_partSizeBytes;
  if (first >= m_fileSizeBytes) return 0;
  return std::min(m_partSizeBytes, m_fileSizeBytes - first);
}

void KWLCDownloadRecord::Forget() {
  m_url.clear();
  m_validator = KWString();
  m_expectedSHA256.clear();
  m_fileSizeBytes = 0;
  m_partSizeBytes = 0;
  m_createdSeconds = 0;
  m_doneBytes.clear();
  m_hash.reset();
  m_hashedBytes = 0;
}

bool KWLCDownloadRecord::Save() const {
  if (m_recordFile.GetPath().IsEmpty()) return false;
  const std::string validator = m_validator.GetUTF8String();
  if (!IsOneLine(m_url) || !IsOneLine(validator)) return false;
  std::ostringstream body;
  body << kFormat << "\n"
       << "file=" << m_destination.GetPath().GetPathAsKWString().GetUTF8String() << "\n"
       << "url=" << m_url << "\n"
       << "etag=" << validator << "\n"
       << "sha256=" << m_expectedSHA256 << "\n"
       << "size=" << m_fileSizeBytes << "\n"
       << "part_size=" << m_partSizeBytes << "\n"
       << "created=" << static_cast<long long>(m_createdSeconds) << "\n"
       << "done=";
  for (size_t n = 0; n < m_doneBytes.size(); ++n) body << (n == 0 ? "" : ",") << m_doneBytes[n];
  body << "\n";
  const std::string text = body.str() + "check=" + Checksum(body.str()) + "\n";

  const std::string path = m_recordFile.GetPath().GetPathAsKWString().GetUTF8String();
  const std::string fresh = path + ".new";
  int fd;
  do {
    fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t put = write(fd, text.data() + written, text.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    written += static_cast<size_t>(put);
  }
  const bool ok = written == text.size() && fsync(fd) == 0;
  close(fd);
  if (!ok || rename(fresh.c_str(), path.c_str()) != 0) {
    unlink(fresh.c_str());
    return false;
  }
  return true;
}

bool KWLCDownloadRecord::Load() {
  Forget();
  if (m_recordFile.GetPath().IsEmpty()) return false;
  const std::string path = m_recordFile.GetPath().GetPathAsKWString().GetUTF8String();
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > kMaxRecordBytes) break;
  }
  close(fd);

  const auto untrusted = [this](const char* why) {
    KWLOG("KWLCDownloadRecord::Load, the download record is not trusted (%s): starting over", why);
    Forget();
    return false;
  };
  if (text.size() > kMaxRecordBytes) return untrusted("too large");
  const size_t checkAt = text.rfind("check=");
  if (checkAt == std::string::npos || text.back() != '\n') return untrusted("incomplete");
  const std::string body = text.substr(0, checkAt);
  if (text.substr(checkAt) != "check=" + Checksum(body) + "\n") return untrusted("its checksum does not match");

  std::istringstream lines(body);
  std::string line;
  if (!std::getline(lines, line) || line != kFormat) return untrusted("another format");
  const char* const keys[] = {"file", "url", "etag", "sha256", "size", "part_size", "created", "done"};
  std::string values[8];
  for (size_t k = 0; k < 8; ++k) {
    const std::string prefix = std::string(keys[k]) + "=";
    if (!std::getline(lines, line) || line.compare(0, prefix.size(), prefix) != 0)
      return untrusted("a field is missing");
    values[k] = line.substr(prefix.size());
  }
  if (std::getline(lines, line)) return untrusted("an unknown field");

  uint64_t size = 0, partSize = 0, created = 0;
  if (!ParseUInt64(values[4], size) || !ParseUInt64(values[5], partSize) || !ParseUInt64(values[6], created) ||
      size == 0 || partSize == 0) {
    return untrusted("a number does not read");
  }
  std::string digest;
  if (!values[3].empty() && !KWLCSha256::ParseHex(values[3], digest)) return untrusted("the digest does not read");
  if (values[0].empty() || values[0][0] != '/') return untrusted("the file's path does not read");
  const uint64_t numParts = size / partSize + (size % partSize != 0 ? 1 : 0);
  if (numParts > kMaxParts) return untrusted("too many parts");

  m_destination = KWFile(values[0].c_str());
  m_url = values[1];
  m_validator = KWString(values[2].c_str());
  m_expectedSHA256 = digest;
  m_fileSizeBytes = size;
  m_partSizeBytes = partSize;
  m_createdSeconds = static_cast<time_t>(created);
  std::istringstream done(values[7]);
  std::string count;
  while (std::getline(done, count, ',')) {
    uint64_t bytes = 0;
    if (!ParseUInt64(count, bytes) || m_doneBytes.size() >= numParts) return untrusted("a part does not read");
    m_doneBytes.push_back(bytes);
    if (bytes > GetPartLength(m_doneBytes.size() - 1)) return untrusted("a part is longer than it can be");
  }
  if (m_doneBytes.size() != numParts) return untrusted("parts are missing");
  return true;
}
