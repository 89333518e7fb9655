#include "KWLCCurlMultipartFileDownloader.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <deque>
#include <limits>
#include <map>
#include <set>

#include "KWException.h"
#include "KWFileUtil.h"
#include "KWLCBackoff.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLCSha256.h"
#include "KWLogger.h"
#include "KWRefcountedPtr.h"

namespace {

const char kThisFile[] = "source/components/lecturecapturecore/cloud/KWLCCurlMultipartFileDownloader";

// Refusals of one part (403, 404, a reply that is not the asked range, an
// untrusted certificate) before the call fails: another try would most
// likely meet the same answer.
const int kMaxRefusalsOfAPart = 3;

// How often the collecting thread looks at the parts and the abort flag
// while it waits for a part or a restart's time; neither can wake it.
const unsigned kCollectPollMS = 20;

// The connections a call starts with; more are added, doubling, while each
// addition raises the whole download's rate by a fifth or more.
const uint32_t kInitialConnections = 4;
const double kWorthGrowing = 1.2;
// A rate is judged over at least this long and this many bytes, or over the
// longer time when the link is slow.
const std::chrono::milliseconds kGrowthMinTime(100);
const uint64_t kGrowthMinBytes = 512 * 1024;
const std::chrono::milliseconds kGrowthMaxTime(4000);
// How long new connections are left to settle before the rate is judged.
const std::chrono::milliseconds kGrowthSettleTime(300);

// At the end, while connections are free and nothing else is left to fetch,
// a part quiet for this long is asked again on a fresh connection: one
// flow waiting out TCP's growing retransmission time-outs on a lossy link
// must not hold the whole download for minutes.
const std::chrono::seconds kEndgameQuiet(3);
// While the whole download moves less than its floor rate the link is
// quiet, not one connection: asking again would only throw away what the
// old connections have on their way. Only a part quiet this many times
// longer is asked again then.
const unsigned kWholeLinkQuietFactor = 6;

// How often the record of a persisted download is brought up to date.
const std::chrono::milliseconds kSaveEvery(2000);

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
  uint64_t m_number;
  // What the running part had written when last looked at, and when that changed.
  uint64_t m_lastWritten;
  std::chrono::steady_clock::time_point m_lastChange;
  bool m_quiet;  // cancelled for receiving nothing: asked again at once
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

bool KWLCCurlMultipartFileDownloader::OnProgress(const void* data, const int&) const {
  if (data == nullptr) return false;
  const KWLCCurlFileDownloadService* part = static_cast<const KWLCCurlFileDownloadService*>(data);
  if (part->IsCancelled()) return false;
  const uint64_t size = m_fileSizeBytes;
  const uint64_t done = std::min(GetBytesDone(), size);
  const int overall = size == 0 ? 0 : static_cast<int>(done * 100 / size);
  // The receiver may be slow, and it may call back.
  if (m_progressCallback != nullptr) return m_progressCallback->OnProgress(m_progressCallbackData, overall);
  return true;
}

uint64_t KWLCCurlMultipartFileDownloader::GetFreeDiskBytes(const KWPath& folder) const {
  return KWFileUtil::GetFreeDiskBytes(folder);
}

void KWLCCurlMultipartFileDownloader::DiscardKeptParts(const char* why) {
  if (m_record->HasKeptParts()) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, %s: kept parts discarded", why);
  }
  m_record->Forget();
  m_bytesDone = 0;
  // Only files: whatever else sits at those paths is not ours to remove.
  for (const KWFile& file : {m_destinationFile, m_record->GetRecordFile()}) {
    struct stat status;
    if (!file.GetPath().IsEmpty() && lstat(file.GetPath().c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      file.Delete();
    }
  }
}

void KWLCCurlMultipartFileDownloader::StartOver(const char* why, const KWString& validator, uint64_t partSizeBytes) {
  DiscardKeptParts(why);
  KWLCDownloadRecord& record = *m_record;
  record.m_destination = m_destinationFile;
  record.m_url = m_url.GetUTF8String();
  record.m_validator = validator;
  record.m_expectedSHA256 = m_expectedSHA256;
  record.m_fileSizeBytes = m_fileSizeBytes;
  record.m_partSizeBytes = partSizeBytes;
  record.m_createdSeconds = time(nullptr);
  record.m_doneBytes.assign(GetNumParts(m_fileSizeBytes, partSizeBytes), 0);
}

bool KWLCCurlMultipartFileDownloader::DownloadFile() {
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile");
  m_retryAfterSeconds = -1;
  m_lastFailure = kFailureOther;
  if (!m_started) {
    m_started = true;
    m_startTime = std::chrono::steady_clock::now();
  }
  if (!m_recordLoaded) {
    // What an earlier process fetched, as its record file says.
    m_recordLoaded = true;
    if (!m_record->HasKeptParts() && !m_record->GetRecordFile().GetPath().IsEmpty() && m_record->Load()) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, %llu bytes of an earlier download are on disk",
            static_cast<unsigned long long>(m_record->GetKeptBytes()));
    }
  }
  if (IsOutOfTime()) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, past the download's deadline: not started");
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
    // The file is whole; a later call starts over. A saved record stays
    // with the file: a process that ends before the file is used finds it
    // whole at the next launch.
    if (m_record->GetRecordFile().GetPath().IsEmpty()) {
      m_record->Forget();
    } else {
      if (CanKeepParts(*m_record)) m_record->Save();
      m_record->Forget();
      m_recordLoaded = false;
    }
    m_lastFailure = kFailureNone;
    // The parts' last reports may have come before their last bytes were counted.
    if (m_progressCallback != nullptr) m_progressCallback->OnProgress(m_progressCallbackData, 100);
    return true;
  }
  // A failed attempt keeps what arrived for the next one. A file that
  // changed, a wrong digest, or nothing to vouch for the bytes (the next
  // attempt could not tell they are still good) leaves nothing; so does a
  // quit, unless the record is saved for a later process.
  const bool persisted = !m_record->GetRecordFile().GetPath().IsEmpty();
  if (discard || (m_abortFlag && !persisted) || !m_record->HasKeptParts() || !CanKeepParts(*m_record)) {
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
  if (GetNumParts(m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes) > kMaxParts) {
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

  // Kept bytes count only while something vouches for the same file: the
  // same digest (and size), or without one the same strong ETag, size and URL.
  const KWString validator = sizeQuery.GetValidator();
  const bool resumable = !validator.IsEmpty() || !m_expectedSHA256.empty();
  uint64_t partSize = m_cloudParams.m_downloadPartSizeBytes;
  if (!resumable) {
    KWLOG(
        "KWLCCurlMultipartFileDownloader::DownloadFile, no strong ETag and no SHA-256: the file is fetched whole over "
        "one connection");
    partSize = m_fileSizeBytes;
  }
  const uint64_t numParts = GetNumParts(m_fileSizeBytes, partSize);
  const bool sameFile = m_expectedSHA256.empty() ? record.m_expectedSHA256.empty() && validator == record.m_validator &&
                                                       record.m_url == m_url.GetUTF8String()
                                                 : record.m_expectedSHA256 == m_expectedSHA256;
  if (!resumable || !sameFile || record.m_fileSizeBytes != m_fileSizeBytes || record.m_partSizeBytes != partSize ||
      record.m_doneBytes.size() != numParts) {
    StartOver("the file on the server changed", validator, partSize);
  } else if (time(nullptr) - record.m_createdSeconds > kMaxKeptAgeSeconds ||
             record.m_createdSeconds > time(nullptr) + 86400) {
    StartOver("the kept bytes are too old", validator, partSize);
  }
  // Under a digest the server's current ETag is the one to ask with.
  record.m_validator = validator;
  bool resuming = record.HasKeptParts();
  struct stat kept;
  if (resuming && (lstat(m_destinationFile.GetPath().c_str(), &kept) != 0 || !S_ISREG(kept.st_mode) ||
                   static_cast<uint64_t>(kept.st_size) != m_fileSizeBytes)) {
    // The file that held them is gone or was cut short: zeros are no parts.
    StartOver("the kept parts' file changed", validator, partSize);
    resuming = false;
  }
  if (resuming) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, going on from %llu of %llu bytes",
          static_cast<unsigned long long>(record.GetKeptBytes()), static_cast<unsigned long long>(m_fileSizeBytes));
  }
  m_bytesDone = record.GetKeptBytes();

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
  if (resumable) record.Save();
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
  if (!Transfer(fd, numParts, discard)) return false;
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

// Fetches what is not kept over the shared connections. True when every
// part is in the destination; on false the caller decides what stays, and
// discard says that nothing may.
bool KWLCCurlMultipartFileDownloader::Transfer(int fd, uint64_t numParts, bool& discard) {
  typedef std::chrono::steady_clock Clock;
  KWLCDownloadRecord& record = *m_record;
  const bool resumable = CanKeepParts(record);
  const bool persisted = resumable && !record.GetRecordFile().GetPath().IsEmpty();
  const KWLCSlowServerLimits& limits = m_cloudParams.m_slowServer;
  std::set<uint64_t> ready;  // parts to fetch, lowest first
  uint64_t successCount = 0;
  for (uint64_t number = 0; number < numParts; ++number) {
    if (record.IsPartFinished(number)) {
      ++successCount;
    } else {
      ready.insert(number);
    }
  }
  // The bytes of every part that is not running; a running part's own come on top.
  uint64_t base = record.GetKeptBytes();

  KWLCBackoff backoff(KWLCBackoff::PartRestarts());
  std::multimap<Clock::time_point, uint64_t> waiting;  // failed parts and when they may go again

  PartListener listener;
  // Released before the listener on every way out; releasing a service
  // waits for its thread.
  std::vector<Slot> slots;
  const uint32_t connections = resumable ? std::max<uint32_t>(1, m_cloudParams.m_numDownloadThreads) : 1;
  for (uint32_t index = 0; index < connections && index < ready.size(); ++index) {
    KWRefcountedPtr<KWLCCurlFileDownloadService> part(
        new KWLCCurlFileDownloadService(m_cloudParams, m_abortFlag, m_exceptionHandler, m_destinationFile, m_partURL));
    part->SetFileSizeBytes(m_fileSizeBytes);
    part->SetProgressCallback(this);
    part->SetProgressCallbackData(part.get());
    part->SetThreadIndex(static_cast<int>(index));
    part->SetTargetDescriptor(fd);
    part->SetDoneListener(&listener);
    part->SetHeaderList(m_headerList);
    part->SetValidator(record.m_validator);
    slots.push_back(Slot{part, false, 0, 0, Clock::now(), false});
  }

  const Clock::time_point begin = Clock::now();
  // How many connections may run now, and what the rate was when it last grew.
  uint32_t active = std::min<uint32_t>(kInitialConnections, static_cast<uint32_t>(slots.size()));
  bool growing = active < slots.size();
  double rateBeforeGrowth = 0;
  // The first span after connections start is not judged: each new one
  // brings a burst (the server fills its socket buffers before any rate
  // limit holds it), which made the rate before a growth look higher than
  // the link's and stopped the growth at 8 of 16 on a capped fast link.
  bool settling = true;
  Clock::time_point growthMark = begin;
  uint64_t growthMarkBytes = base;
  // The floor: bytes at the start of the current window, and windows in a row under it.
  Clock::time_point windowStart = begin;
  uint64_t windowStartBytes = base;
  uint32_t slowWindows = 0;
  Clock::time_point lastSave = begin;
  uint64_t savedBytes = base;

  std::map<uint64_t, int> refusals;
  // Parts asked again for being quiet: each time a part is, it is given
  // twice as long the next time, so that a server that sends a burst to
  // every new request and then stalls cannot pass for a working link.
  std::map<uint64_t, unsigned> quietAgain;
  std::deque<std::pair<Clock::time_point, uint64_t>> recent;  // (when, bytes on disk)
  uint64_t received = 0;                                      // by every run of this call, for the log
  unsigned failuresInARow = 0;                                // failed runs with no byte between them
  bool stopped = false;                                       // no part is started any more
  size_t busy = 0;
  const auto stopAll = [&]() {
    stopped = true;
    for (Slot& slot : slots) {
      if (slot.m_busy) slot.m_service->Cancel();
    }
  };
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (m_abortFlag) stopped = true;
    if (!stopped && IsOutOfTime()) stopAll();
    while (!waiting.empty() && waiting.begin()->first <= now) {
      ready.insert(waiting.begin()->second);
      waiting.erase(waiting.begin());
    }

    const bool endgame = ready.empty() && waiting.empty() && busy < active;
    const std::chrono::steady_clock::duration quiet =
        endgame ? std::min<std::chrono::steady_clock::duration>(kEndgameQuiet,
                                                                std::chrono::seconds(limits.m_partQuietSeconds))
                : std::chrono::seconds(limits.m_partQuietSeconds);
    uint64_t live = base;
    for (const Slot& slot : slots) {
      if (slot.m_busy) live += slot.m_service->GetWrittenBytes();
    }
    // The whole download's bytes over the last quiet time, sampled once a second.
    if (recent.empty() || now - recent.back().first >= std::chrono::seconds(1)) recent.emplace_back(now, live);
    while (recent.size() > 1 && now - recent[1].first >= quiet) recent.pop_front();
    const bool linkMoves =
        now - recent.front().first < quiet ||
        live - std::min(live, recent.front().second) >=
            limits.m_floorBytesPerSecond *
                static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(quiet).count());
    for (Slot& slot : slots) {
      if (!slot.m_busy) continue;
      const uint64_t written = slot.m_service->GetWrittenBytes();
      const std::chrono::steady_clock::duration partQuiet =
          quiet * (1u << std::min(quietAgain[slot.m_number], 5u)) * (endgame || linkMoves ? 1u : kWholeLinkQuietFactor);
      if (written != slot.m_lastWritten) {
        slot.m_lastWritten = written;
        slot.m_lastChange = now;
      } else if (!stopped && !slot.m_service->IsCancelled() && now - slot.m_lastChange > partQuiet) {
        KWLOG(
            "KWLCCurlMultipartFileDownloader::DownloadFile, part %llu received nothing for %lld s: asking again",
            static_cast<unsigned long long>(slot.m_number),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now - slot.m_lastChange).count()));
        ++quietAgain[slot.m_number];
        slot.m_quiet = true;
        slot.m_service->Cancel();
      }
    }
    m_bytesDone = live;

    if (!stopped && now - windowStart >= std::chrono::seconds(limits.m_floorWindowSeconds)) {
      const uint64_t got = live - std::min(live, windowStartBytes);
      if (got < limits.m_floorBytesPerSecond * limits.m_floorWindowSeconds) {
        ++slowWindows;
        KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, %llu bytes in %u s, under %llu bytes a second (%u of %u)",
              static_cast<unsigned long long>(got), limits.m_floorWindowSeconds,
              static_cast<unsigned long long>(limits.m_floorBytesPerSecond), slowWindows, limits.m_floorWindows);
        if (slowWindows >= limits.m_floorWindows) {
          m_lastFailure = kFailureTooSlow;
          stopAll();
        }
      } else {
        slowWindows = 0;
      }
      windowStart = now;
      windowStartBytes = live;
    }

    // More connections while they pay: judged only while every one that
    // may run does.
    if (growing && !stopped && busy == active && settling) {
      if (now - growthMark >= kGrowthSettleTime) {
        settling = false;
        growthMark = now;
        growthMarkBytes = live;
      }
    } else if (growing && !stopped && busy == active && now - growthMark >= kGrowthMinTime &&
               (live - growthMarkBytes >= kGrowthMinBytes || now - growthMark >= kGrowthMaxTime)) {
      const double seconds = std::chrono::duration<double>(now - growthMark).count();
      const double rate = static_cast<double>(live - growthMarkBytes) / seconds;
      if (rateBeforeGrowth == 0 || rate >= rateBeforeGrowth * kWorthGrowing) {
        rateBeforeGrowth = rate;
        active = std::min<uint32_t>(active * 2, static_cast<uint32_t>(slots.size()));
        growing = active < slots.size();
        settling = true;
      } else {
        growing = false;
      }
      if (!growing) {
        KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, %u connections, %.0f bytes a second", active, rate);
      }
      growthMark = now;
      growthMarkBytes = live;
    }

    if (persisted && now - lastSave >= kSaveEvery && live != savedBytes) {
      SaveProgress(fd, slots);
      lastSave = now;
      savedBytes = live;
    }

    for (size_t index = 0; index < active && !stopped && !ready.empty(); ++index) {
      Slot& slot = slots[index];
      if (slot.m_busy) continue;
      slot.m_number = *ready.begin();
      ready.erase(ready.begin());
      slot.m_busy = true;
      slot.m_lastWritten = 0;
      slot.m_lastChange = now;
      slot.m_quiet = false;
      ++busy;
      slot.m_service->SetPartNumber(slot.m_number);
      slot.m_service->SetDoneBytes(record.m_doneBytes[slot.m_number]);
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
      Slot* slot = nullptr;
      for (Slot& candidate : slots) {
        if (candidate.m_service.get() == done) slot = &candidate;
      }
      if (slot == nullptr) continue;
      slot->m_busy = false;
      --busy;
      const uint64_t number = slot->m_number;
      const uint64_t length = record.GetPartLength(number);
      const uint64_t before = record.m_doneBytes[number];
      const uint64_t written = part.GetWrittenBytes();
      received += written;
      uint64_t after = part.IsSuccess() ? length : resumable ? std::min(length, before + written) : 0;
      if (part.IsValidatorMismatch()) after = before;
      record.m_doneBytes[number] = after;
      base = base - before + after;
      if (part.IsSuccess()) {
        ++successCount;
        failuresInARow = 0;
        AdvanceHash(fd);
        continue;
      }
      if (written > 0) failuresInARow = 0;
      if (part.GetWriteErrno() != 0) {
        // The disk, not the network: another try would meet the same wall.
        KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, cannot write %s: %s", m_destinationFile.GetPath().c_str(),
              strerror(part.GetWriteErrno()));
        m_lastFailure = WriteFailureOf(part.GetWriteErrno());
        stopAll();
        continue;
      }
      if (part.IsValidatorMismatch()) {
        // Bytes of two versions must never meet in one file: everything
        // goes, and the next attempt asks for the size and ETag again.
        KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, the file changed on the server during the download");
        discard = true;
        stopAll();
        continue;
      }
      if (part.GetRetryAfterSeconds() >= 0) m_retryAfterSeconds = part.GetRetryAfterSeconds();
      if (m_abortFlag || stopped) continue;
      if (slot->m_quiet) {
        ready.insert(number);
        continue;
      }
      if (!part.IsRetryable() && ++refusals[number] >= kMaxRefusalsOfAPart) {
        KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, part %llu refused %d times: not asking again",
              static_cast<unsigned long long>(number), kMaxRefusalsOfAPart);
        stopAll();
        continue;
      }
      const std::chrono::milliseconds delay = backoff.Delay(std::min(failuresInARow, 8u), part.GetRetryAfterSeconds());
      ++failuresInARow;
      waiting.insert(std::make_pair(Clock::now() + delay, number));
    }
  }
  m_bytesDone = base;
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, %llu bytes received, %llu of %llu bytes on disk",
        static_cast<unsigned long long>(received), static_cast<unsigned long long>(base),
        static_cast<unsigned long long>(m_fileSizeBytes));
  if (persisted && !discard) SaveProgress(fd, slots);
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

void KWLCCurlMultipartFileDownloader::SaveProgress(int fd, const std::vector<Slot>& slots) {
  KWLCDownloadRecord& record = *m_record;
  // Counted before the flush: every byte counted was written before it.
  std::vector<uint64_t> done(record.m_doneBytes);
  for (const Slot& slot : slots) {
    if (!slot.m_busy) continue;
    const uint64_t length = record.GetPartLength(slot.m_number);
    done[slot.m_number] = std::min(length, done[slot.m_number] + slot.m_service->GetWrittenBytes());
  }
  if (fsync(fd) != 0) return;
  done.swap(record.m_doneBytes);
  const bool saved = record.Save();
  done.swap(record.m_doneBytes);
  if (!saved) KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, the download record could not be saved");
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
    if (!record.IsPartFinished(number)) return;
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
