#include "KWLCCurlMultipartFileDownloader.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>
#include <set>

#include "KWException.h"
#include "KWLCBackoff.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLCSha256.h"
#include "KWLogger.h"
#include "KWRefcountedPtr.h"

namespace {

const char kThisFile[] = "source/components/lecturecapturecore/cloud/KWLCCurlMultipartFileDownloader";

// Failed parts allowed before failed parts stay failed: 9 restarts in all,
// shared by every part of the file.
const int kMaxFailedJoins = 10;

// How often the collecting thread looks at the abort flag while it waits
// for a part or a restart's time; the flag cannot wake it.
const unsigned kCollectPollMS = 20;

const size_t kHashBlockBytes = 1 << 20;

[[noreturn]] void ThrowInternal(int line) { throw KWLCException("kKWErrorInternal", kThisFile, line, false); }

// Closes the destination on every way out; the parts that write into it
// have ended by then (Transfer releases them before it returns or throws).
class ScopedDescriptor {
 public:
  explicit ScopedDescriptor(int fd) : m_fd(fd) {}
  ~ScopedDescriptor() { close(m_fd); }
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;

 private:
  int m_fd;
};

// Reserves the file's blocks up front, so that a full disk shows before any
// byte is fetched rather than in the middle of a part. 0 or an errno.
int Preallocate(int fd, uint64_t size) {
#if defined(F_PREALLOCATE)
  fstore_t store = {F_ALLOCATECONTIG | F_ALLOCATEALL, F_PEOFPOSMODE, 0, static_cast<off_t>(size), 0};
  if (fcntl(fd, F_PREALLOCATE, &store) == -1) {
    store.fst_flags = F_ALLOCATEALL;
    if (fcntl(fd, F_PREALLOCATE, &store) == -1 && errno != ENOTSUP) return errno;
  }
  return ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
#else
  int result;
  do {
    result = posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (result == EINTR);
  // A file system without allocation still takes a file of that length.
  if (result == EOPNOTSUPP || result == EINVAL) return ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
  return result;
#endif
}

// Disk full or over quota: the user can free space and retry; anything else
// is a write failure.
KWLCCurlMultipartFileDownloader::Failure WriteFailureOf(int error) {
  return error == ENOSPC || error == EDQUOT ? KWLCCurlMultipartFileDownloader::kFailureDiskSpace
                                            : KWLCCurlMultipartFileDownloader::kFailureWrite;
}

}  // namespace

// --- Record of kept parts ------------------------------------------------------

KWLCDownloadRecord::KWLCDownloadRecord() : m_fileSizeBytes(0), m_partSizeBytes(0), m_hashedBytes(0) {}

KWLCDownloadRecord::~KWLCDownloadRecord() = default;

bool KWLCDownloadRecord::HasKeptParts() const {
  return std::find(m_finished.begin(), m_finished.end(), true) != m_finished.end();
}

void KWLCDownloadRecord::Forget() {
  m_validator = KWString();
  m_expectedSHA256.clear();
  m_fileSizeBytes = 0;
  m_partSizeBytes = 0;
  m_finished.clear();
  m_hash.reset();
  m_hashedBytes = 0;
}

// --- Parts ending ----------------------------------------------------------------

// Collects, from the part threads, the parts whose run has ended.
class KWLCCurlMultipartFileDownloader::PartListener : public IKWLCPartDoneListener {
 public:
  void OnPartDone(KWLCCurlFileDownloadService* part) override {
    KWLock lock(m_mutex);
    m_done.push_back(part);
    m_condition.notify_all();
  }
  // Waits up to the time for a part to end; the parts that have.
  std::vector<KWLCCurlFileDownloadService*> Take(unsigned milliseconds) {
    KWLock lock(m_mutex);
    if (m_done.empty()) m_condition.wait_for(lock, milliseconds);
    std::vector<KWLCCurlFileDownloadService*> done;
    done.swap(m_done);
    return done;
  }

 private:
  KWMutex m_mutex;
  KWCondition m_condition;
  std::vector<KWLCCurlFileDownloadService*> m_done;  // guarded by m_mutex
};

struct KWLCCurlMultipartFileDownloader::Slot {
  KWRefcountedPtr<KWLCCurlFileDownloadService> m_service;
  bool m_busy;
};

// --- Downloader -------------------------------------------------------------------

KWLCCurlMultipartFileDownloader::KWLCCurlMultipartFileDownloader(const KWLCCloudParams& cloudParams,
                                                                 IKWCustomExceptionHandler& exceptionHandler,
                                                                 const KWAbortFlag& abortFlag,
                                                                 const KWFile& destinationFile, const KWString& url)
    : m_cloudParams(cloudParams),
      m_url(url),
      m_exceptionHandler(exceptionHandler),
      m_abortFlag(abortFlag),
      m_destinationFile(destinationFile),
      m_fileSizeBytes(0),
      m_progressCallback(nullptr),
      m_progressCallbackData(nullptr),
      m_record(&m_ownRecord),
      m_retryAfterSeconds(-1),
      m_started(false),
      m_knownSizeBytes(0),
      m_pastDeadline(false) {}

KWLCCurlMultipartFileDownloader::~KWLCCurlMultipartFileDownloader() = default;

void KWLCCurlMultipartFileDownloader::Initialize() { KWLOG("KWLCCurlMultipartFileDownloader::Initialize"); }

void KWLCCurlMultipartFileDownloader::SetExpectedSHA256(const KWString& hexDigest) {
  m_expectedSHA256 = hexDigest.GetUTF8String();
  m_expectedSHA256Valid = m_expectedSHA256.empty() || KWLCSha256::ParseHex(m_expectedSHA256, m_expectedSHA256);
}

void KWLCCurlMultipartFileDownloader::SetDownloadRecord(KWLCDownloadRecord* record) {
  m_record = record != nullptr ? record : &m_ownRecord;
}

uint64_t KWLCCurlMultipartFileDownloader::GetNumParts(uint64_t fileSizeBytes, uint64_t partSizeBytes) {
  if (partSizeBytes == 0) return 0;
  return fileSizeBytes / partSizeBytes + (fileSizeBytes % partSizeBytes != 0 ? 1 : 0);
}

uint32_t KWLCCurlMultipartFileDownloader::CombinePartProgress(const std::map<uint64_t, uint32_t>& partProgress,
                                                              uint64_t numParts) {
  uint32_t sum = 0;
  for (const auto& part : partProgress) sum += part.second;
  if (numParts == 0) return sum;
  return static_cast<uint32_t>(static_cast<float>(sum) / static_cast<float>(numParts) + 0.5f);
}

bool KWLCCurlMultipartFileDownloader::OnProgress(const void* data, const int& percent) const {
  if (data == nullptr) return false;
  const KWLCCurlFileDownloadService* part = static_cast<const KWLCCurlFileDownloadService*>(data);
  uint32_t overall;
  {
    KWLock lock(m_partProgressMutex);
    m_partProgress[part->GetPartNumber()] = static_cast<uint32_t>(percent);
    overall = CombinePartProgress(m_partProgress, GetNumParts(m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes));
  }
  // The receiver is called outside the lock: it may be slow, and it may call back.
  if (m_progressCallback != nullptr) return m_progressCallback->OnProgress(m_progressCallbackData, overall);
  return true;
}

uint64_t KWLCCurlMultipartFileDownloader::GetFreeDiskBytes(const KWPath& folder) const {
  struct statvfs status;
  if (statvfs(folder.GetPathAsKWString().c_str(), &status) != 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(status.f_bavail) * static_cast<uint64_t>(status.f_frsize);
}

void KWLCCurlMultipartFileDownloader::DiscardKeptParts(const char* why) {
  if (m_record->HasKeptParts()) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, %s: kept parts discarded", why);
  }
  m_record->Forget();
  // Only a file: whatever else sits at that path is not ours to remove.
  struct stat status;
  if (lstat(m_destinationFile.GetPath().c_str(), &status) == 0 && S_ISREG(status.st_mode)) m_destinationFile.Delete();
}

void KWLCCurlMultipartFileDownloader::StartOver(const char* why, const KWString& validator, uint64_t numParts) {
  DiscardKeptParts(why);
  KWLCDownloadRecord& record = *m_record;
  record.m_destination = m_destinationFile;
  record.m_validator = validator;
  record.m_expectedSHA256 = m_expectedSHA256;
  record.m_fileSizeBytes = m_fileSizeBytes;
  record.m_partSizeBytes = m_cloudParams.m_downloadPartSizeBytes;
  record.m_finished.assign(numParts, false);
}

bool KWLCCurlMultipartFileDownloader::DownloadFile() {
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile");
  {
    KWLock lock(m_partProgressMutex);
    m_partProgress.clear();
  }
  m_retryAfterSeconds = -1;
  m_lastFailure = kFailureOther;
  if (!m_started) {
    m_started = true;
    m_startTime = std::chrono::steady_clock::now();
  }
  if (IsOutOfTime()) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, past the download's deadline: not started");
    DiscardKeptParts("the download ran out of time");
    return false;
  }
  if (m_record->m_destination.GetPath() != m_destinationFile.GetPath()) {
    // What was kept belongs to another file.
    m_record->Forget();
    m_record->m_destination = m_destinationFile;
  }
  bool discard = false;
  bool done = false;
  try {
    done = Attempt(discard);
  } catch (...) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, caught Exception.");
  }
  if (done) {
    // The file is whole; a later call starts over.
    m_record->Forget();
    m_lastFailure = kFailureNone;
    return true;
  }
  // A failed attempt keeps what arrived whole for the next one; a quit, a
  // file that changed, a wrong digest, a download out of time, or nothing
  // to vouch for the parts (the next attempt could not tell they are still
  // good) leaves nothing.
  if (discard || m_abortFlag || IsOutOfTime() || !m_record->HasKeptParts() || !CanKeepParts(*m_record)) {
    DiscardKeptParts("the download was abandoned");
  }
  return false;
}

bool KWLCCurlMultipartFileDownloader::Attempt(bool& discard) {
  KWLCDownloadRecord& record = *m_record;
  if (m_cloudParams.m_downloadPartSizeBytes == 0) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, m_downloadPartSizeBytes == 0");
    return false;
  }
  // No file matches a digest that is not 64 hex digits: fetching the image
  // (again on every attempt) only to throw it away would waste the link.
  if (!m_expectedSHA256Valid) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, refusing a SHA-256 that is not 64 hex digits");
    discard = true;
    return false;
  }
  // Asked every time: the file may have changed on the server since the
  // last attempt, and a signed redirect target may have expired.
  KWLCCurlFileDownloader sizeQuery;
  m_fileSizeBytes = 0;
  // A server that trickles its headers must not outlast the deadline either.
  KWLCCloudParams queryParams(m_cloudParams);
  const long long timeLeftMS = std::max<long long>(1, TimeLeft().count());
  if (queryParams.m_responseTimeoutMS == 0 || queryParams.m_responseTimeoutMS > timeLeftMS) {
    queryParams.m_responseTimeoutMS = static_cast<int32_t>(std::min<long long>(timeLeftMS, INT32_MAX));
  }
  try {
    m_fileSizeBytes = sizeQuery.GetFileSizeBytesFromURL(m_url, queryParams, m_headerList, m_abortFlag);
  } catch (...) {
    m_retryAfterSeconds = sizeQuery.GetRetryAfterSeconds();
    throw;
  }
  if (m_fileSizeBytes == 0) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, fileSizeBytes == 0");
    ThrowInternal(__LINE__);
  }
  // A size that no product image has (a broken or hostile reply) must not
  // make the process plan millions of parts.
  const uint64_t numParts = GetNumParts(m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes);
  if (numParts > kMaxParts) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, refusing %llu bytes in more than %llu parts",
          static_cast<unsigned long long>(m_fileSizeBytes), static_cast<unsigned long long>(kMaxParts));
    m_fileSizeBytes = 0;
    discard = true;
    return false;
  }
  // A size vouched for elsewhere (a signed release) that the server does not
  // serve: no part of this file can be the one wanted.
  if (m_expectedSizeBytes != 0 && m_fileSizeBytes != m_expectedSizeBytes) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, the server has %llu bytes where %llu are expected",
          static_cast<unsigned long long>(m_fileSizeBytes), static_cast<unsigned long long>(m_expectedSizeBytes));
    m_fileSizeBytes = 0;
    discard = true;
    return false;
  }
  m_partURL = sizeQuery.GetEffectiveURL();
  m_knownSizeBytes = m_fileSizeBytes;

  // Kept parts count only while something vouches for the same bytes.
  const KWString validator = sizeQuery.GetValidator();
  if (validator.IsEmpty() && m_expectedSHA256.empty()) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, no strong ETag and no SHA-256: parts are not kept");
  }
  if (!CanKeepParts(record) || validator != record.m_validator || record.m_expectedSHA256 != m_expectedSHA256 ||
      record.m_fileSizeBytes != m_fileSizeBytes || record.m_partSizeBytes != m_cloudParams.m_downloadPartSizeBytes ||
      record.m_finished.size() != numParts) {
    StartOver("the file on the server changed", validator, numParts);
  }
  bool resuming = record.HasKeptParts();
  struct stat kept;
  if (resuming && (stat(m_destinationFile.GetPath().c_str(), &kept) != 0 || !S_ISREG(kept.st_mode) ||
                   static_cast<uint64_t>(kept.st_size) != m_fileSizeBytes)) {
    // The file that held them is gone or was cut short: zeros are no parts.
    StartOver("the kept parts' file changed", validator, numParts);
    resuming = false;
  }

  // The image, written in place (no second copy for a join), and one
  // unpacked copy of it for the attach.
  const uint64_t need =
      m_diskNeed ? m_diskNeed(m_fileSizeBytes, resuming) : (resuming ? 0 : m_fileSizeBytes) + m_fileSizeBytes;
  if (!CheckDiskSpace(need)) {
    m_lastFailure = kFailureDiskSpace;
    return false;
  }

  const std::string path = m_destinationFile.GetPath().GetPathAsKWString().GetUTF8String();
  int fd;
  do {
    // Reopened on every attempt: a link put there meanwhile is not followed.
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (resuming ? 0 : O_TRUNC), 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // Not worth another attempt: the same folder refuses the same file.
    const int error = errno;
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, cannot open %s: %s", path.c_str(), strerror(error));
    m_lastFailure = WriteFailureOf(error);
    return false;
  }
  ScopedDescriptor destination(fd);
  if (!resuming) {
    const int error = Preallocate(fd, m_fileSizeBytes);
    if (error != 0) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, cannot make %s %llu bytes long: %s", path.c_str(),
            static_cast<unsigned long long>(m_fileSizeBytes), strerror(error));
      m_lastFailure = WriteFailureOf(error);
      discard = true;
      return false;
    }
  }
  if (!Transfer(fd, numParts)) return false;
  AdvanceHash(fd);
  if (m_abortFlag) return false;
  if (!HasExpectedDigest()) {
    m_lastFailure = kFailureDigest;
    discard = true;
    return false;
  }
  return true;
}

std::chrono::milliseconds KWLCCurlMultipartFileDownloader::TimeLeft() const {
  const std::chrono::steady_clock::time_point deadline =
      m_startTime + std::chrono::seconds(m_cloudParams.m_slowServer.DeadlineSeconds(m_knownSizeBytes));
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
}

bool KWLCCurlMultipartFileDownloader::IsOutOfTime() {
  if (m_pastDeadline) return true;
  if (TimeLeft().count() > 0) return false;
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, the download did not end within %llu s: the server is too slow",
        static_cast<unsigned long long>(m_cloudParams.m_slowServer.DeadlineSeconds(m_knownSizeBytes)));
  m_pastDeadline = true;
  return true;
}

bool KWLCCurlMultipartFileDownloader::CanKeepParts(const KWLCDownloadRecord& record) {
  return !record.m_validator.IsEmpty() || !record.m_expectedSHA256.empty();
}

bool KWLCCurlMultipartFileDownloader::CheckDiskSpace(uint64_t needBytes) {
  const KWPath folder = m_destinationFile.GetPath().GetParentKWPath(0xFFFFFFFF);
  const uint64_t freeBytes = GetFreeDiskBytes(folder);
  if (freeBytes >= needBytes) return true;
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, not enough disk space in %s: %llu bytes free, %llu needed",
        folder.GetPathAsKWString().c_str(), static_cast<unsigned long long>(freeBytes),
        static_cast<unsigned long long>(needBytes));
  return false;
}

// Fetches the parts that are not kept over the shared connections. True when
// every part is in the destination; on false the caller decides what stays.
bool KWLCCurlMultipartFileDownloader::Transfer(int fd, uint64_t numParts) {
  KWLCDownloadRecord& record = *m_record;
  std::set<uint64_t> ready;  // parts to fetch, lowest first
  uint64_t successCount = 0;
  {
    KWLock lock(m_partProgressMutex);
    for (uint64_t number = 0; number < numParts; ++number) {
      if (record.m_finished[number]) {
        m_partProgress[number] = 100;
        ++successCount;
      } else {
        ready.insert(number);
      }
    }
  }

  // A part fetched against another version of the file must not land beside
  // the kept ones: with If-Range the server then answers with the whole file
  // instead. Sent only while some part is kept: before that there is nothing
  // to protect, and a server whose HEAD and GET disagree on the ETag would
  // answer every part whole.
  std::vector<KWString> headersWithIfRange(m_headerList);
  if (!record.m_validator.IsEmpty()) headersWithIfRange.push_back(KWString("If-Range: ") + record.m_validator);

  typedef std::chrono::steady_clock Clock;
  KWLCBackoff backoff(KWLCBackoff::PartRestarts());
  std::multimap<Clock::time_point, uint64_t> waiting;  // failed parts and when they may go again

  PartListener listener;
  // Released before the listener on every way out; releasing a service
  // waits for its thread.
  std::vector<Slot> slots;
  const uint32_t connections = std::max<uint32_t>(1, m_cloudParams.m_numDownloadThreads);
  for (uint32_t index = 0; index < connections && index < ready.size(); ++index) {
    KWRefcountedPtr<KWLCCurlFileDownloadService> part(
        new KWLCCurlFileDownloadService(m_cloudParams, m_abortFlag, m_exceptionHandler, m_destinationFile, m_partURL));
    part->SetFileSizeBytes(m_fileSizeBytes);
    part->SetProgressCallback(this);
    part->SetProgressCallbackData(part.get());
    part->SetThreadIndex(static_cast<int>(index));
    part->SetTargetDescriptor(fd);
    part->SetDoneListener(&listener);
    slots.push_back(Slot{part, false});
  }

  int restarts = 0;
  bool stopped = false;  // no part is started any more
  size_t busy = 0;
  for (;;) {
    if (m_abortFlag) stopped = true;
    const Clock::time_point now = Clock::now();
    if (IsOutOfTime()) stopped = true;
    while (!waiting.empty() && waiting.begin()->first <= now) {
      ready.insert(waiting.begin()->second);
      waiting.erase(waiting.begin());
    }
    for (Slot& slot : slots) {
      if (stopped || ready.empty()) break;
      if (slot.m_busy) continue;
      slot.m_service->SetPartNumber(*ready.begin());
      slot.m_service->SetHeaderList(record.HasKeptParts() ? headersWithIfRange : m_headerList);
      ready.erase(ready.begin());
      slot.m_busy = true;
      ++busy;
      slot.m_service->StartService();
    }
    if (busy == 0 && (stopped || (ready.empty() && waiting.empty()))) break;

    unsigned waitMS = kCollectPollMS;
    if (!waiting.empty() && busy == 0) {
      const auto untilNext =
          std::chrono::duration_cast<std::chrono::milliseconds>(waiting.begin()->first - now).count();
      waitMS = static_cast<unsigned>(std::max<long long>(0, std::min<long long>(untilNext, kCollectPollMS)));
    }
    for (KWLCCurlFileDownloadService* done : listener.Take(waitMS)) {
      KWLCCurlFileDownloadService& part = *done;
      part.Join();
      for (Slot& slot : slots) {
        if (slot.m_service.get() == done) slot.m_busy = false;
      }
      --busy;
      const uint64_t number = part.GetPartNumber();
      if (part.IsSuccess()) {
        record.m_finished[number] = true;
        ++successCount;
        AdvanceHash(fd);
        continue;
      }
      if (part.GetWriteErrno() != 0) {
        // The disk, not the network: another try would meet the same wall.
        KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, cannot write %s: %s", m_destinationFile.GetPath().c_str(),
              strerror(part.GetWriteErrno()));
        const int error = part.GetWriteErrno();
        m_lastFailure = WriteFailureOf(error);
        stopped = true;
        continue;
      }
      const KWLCPartRange range =
          KWLCCurlFileDownloadService::GetPartRange(number, m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes, 1);
      if (part.GetHTTPStatus() == 200 && range.m_lengthBytes != m_fileSizeBytes && record.HasKeptParts()) {
        // If-Range did not match: the file changed under us, and every part
        // kept so far may be of the old one.
        KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, a range came back whole: kept parts discarded");
        KWLock lock(m_partProgressMutex);
        for (uint64_t kept = 0; kept < numParts; ++kept) {
          if (!record.m_finished[kept]) continue;
          record.m_finished[kept] = false;
          m_partProgress[kept] = 0;
          ready.insert(kept);
          --successCount;
        }
        record.m_hash.reset();
        record.m_hashedBytes = 0;
      }
      if (part.GetRetryAfterSeconds() >= 0) m_retryAfterSeconds = part.GetRetryAfterSeconds();
      ++restarts;
      if (m_abortFlag || restarts >= kMaxFailedJoins) {
        stopped = true;
        continue;
      }
      const std::chrono::milliseconds delay =
          backoff.Delay(static_cast<unsigned>(restarts - 1), part.GetRetryAfterSeconds());
      waiting.insert(std::make_pair(Clock::now() + delay, number));
    }
  }
  slots.clear();

  OnPartsCollected();
  if (successCount != numParts) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, successCount != numParts");
    return false;
  }
  // An abort that comes after the last part arrived still means the caller
  // no longer wants the file.
  if (m_abortFlag) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, aborted after the last part arrived");
    return false;
  }
  return true;
}

// Feeds the digest with the run of finished bytes from the start of the
// file that it has not seen yet, so that little is left after the last part.
void KWLCCurlMultipartFileDownloader::AdvanceHash(int fd) {
  if (m_expectedSHA256.empty()) return;
  KWLCDownloadRecord& record = *m_record;
  if (!record.m_hash) {
    record.m_hash.reset(new KWLCSha256());
    record.m_hashedBytes = 0;
  }
  const uint64_t partSize = record.m_partSizeBytes;
  std::vector<char> buffer;
  while (record.m_hashedBytes < record.m_fileSizeBytes && !m_abortFlag) {
    const uint64_t number = record.m_hashedBytes / partSize;
    if (!record.m_finished[number]) return;
    const uint64_t end = std::min(record.m_fileSizeBytes, (number + 1) * partSize);
    if (buffer.empty()) buffer.resize(kHashBlockBytes);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - record.m_hashedBytes));
    const ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(record.m_hashedBytes));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // The check at the end then fails: nothing unread counts as verified.
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, cannot read back %s: %s",
            m_destinationFile.GetPath().c_str(), got < 0 ? strerror(errno) : "end of file");
      return;
    }
    record.m_hash->Update(buffer.data(), static_cast<size_t>(got));
    record.m_hashedBytes += static_cast<uint64_t>(got);
  }
}

bool KWLCCurlMultipartFileDownloader::HasExpectedDigest() {
  if (m_expectedSHA256.empty()) return true;
  KWLCDownloadRecord& record = *m_record;
  std::string actual = "(incomplete)";
  if (record.m_hash && record.m_hashedBytes == m_fileSizeBytes) actual = record.m_hash->FinalHex();
  record.m_hash.reset();
  record.m_hashedBytes = 0;
  if (actual == m_expectedSHA256) return true;
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, SHA-256 mismatch: expected %s, got %s",
        m_expectedSHA256.c_str(), actual.c_str());
  return false;
}
