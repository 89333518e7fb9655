// KWLCCurlMultipartFileDownloader: downloads one remote file by cutting it
// into parts that a fixed number of connections fetch in parallel, each
// connection taking the next missing part as soon as it is free. Every part
// is written in place into the destination, which is created at its full
// size first; nothing is joined afterwards.
//
// Parts that arrived whole are kept across a failed DownloadFile, as long as
// the size is unchanged and something vouches for the bytes: the server's
// strong ETag (unchanged), or the expected SHA-256 (the same one), which
// checks the whole file at the end. Never Last-Modified alone. The next call
// fetches only the missing ones. The record of kept
// parts lives in a KWLCDownloadRecord, by default the downloader's own; a
// caller that outlives the downloader (a Retry builds a new one) passes its
// own.
//
//   KWLCCurlFileDownloader::Initialize(params);
//   KWLCCurlMultipartFileDownloader::Initialize();
//   KWLCCurlMultipartFileDownloader downloader(params, handler, exitFlag, destination, url);
//   downloader.SetProgressCallback(&receiver);
//   downloader.SetDownloadRecord(&record);   // optional
//   bool done = downloader.DownloadFile();   // may be called again after false
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "IKWLCCurlProgressCallback.h"
#include "KWAbortFlag.h"
#include "KWCustomException.h"
#include "KWFile.h"
#include "KWLCCloudStructs.h"
#include "KWLCCurlFileDownloadService.h"
#include "KWString.h"
#include "KWThread.h"

class KWLCSha256;

// The parts of one destination that arrived whole, and what they were
// fetched against. Used by one downloader at a time.
class KWLCDownloadRecord {
 public:
  KWLCDownloadRecord();
  ~KWLCDownloadRecord();
  KWLCDownloadRecord(const KWLCDownloadRecord&) = delete;
  KWLCDownloadRecord& operator=(const KWLCDownloadRecord&) = delete;

  // True when some part is kept; the destination then holds it.
  bool HasKeptParts() const;
  const KWFile& GetDestination() const { return m_destination; }
  // Forgets every kept part; the destination file itself is left alone.
  void Forget();

 private:
  friend class KWLCCurlMultipartFileDownloader;

  KWFile m_destination;
  KWString m_validator;  // strong ETag, or empty
  std::string m_expectedSHA256;
  uint64_t m_fileSizeBytes;
  uint64_t m_partSizeBytes;
  std::vector<bool> m_finished;
  // The digest of bytes [0, m_hashedBytes), which are all in finished parts.
  std::unique_ptr<KWLCSha256> m_hash;
  uint64_t m_hashedBytes;
};

class KWLCCurlMultipartFileDownloader : public IKWLCCurlProgressCallback {
 public:
  // The most parts one file may have (40 GiB at the default part size).
  static const uint64_t kMaxParts = 4096;

  KWLCCurlMultipartFileDownloader(const KWLCCloudParams& cloudParams, IKWCustomExceptionHandler& exceptionHandler,
                                  const KWAbortFlag& abortFlag, const KWFile& destinationFile, const KWString& url);
  KWLCCurlMultipartFileDownloader(const KWLCCurlMultipartFileDownloader&) = delete;
  KWLCCurlMultipartFileDownloader& operator=(const KWLCCurlMultipartFileDownloader&) = delete;

  // Called on the part threads, several at once, with the reporting part
  // service as data; folds that part's percent into the whole file's.
  bool OnProgress(const void* data, const int& percent) const override;
  virtual ~KWLCCurlMultipartFileDownloader();
  // True only when the destination holds the whole remote file. Never throws.
  virtual bool DownloadFile();

  static void Initialize();
  void SetProgressCallback(const IKWLCCurlProgressCallback* callback) { m_progressCallback = callback; }
  // The SHA-256 the whole file must have, in hex (either case); empty checks
  // nothing. It is computed as the file fills from its start; a file with
  // another digest is deleted and the call fails.
  void SetExpectedSHA256(const KWString& hexDigest);
  // The size in bytes the file must have; 0 checks nothing. A server that
  // reports another size is refused before any part is fetched.
  void SetExpectedSizeBytes(uint64_t sizeBytes) { m_expectedSizeBytes = sizeBytes; }
  // Where kept parts are recorded; it must outlive every DownloadFile call.
  // Null goes back to the downloader's own record.
  void SetDownloadRecord(KWLCDownloadRecord* record);
  // The Retry-After (seconds) of the last 503 or 429 seen by the last call; -1 when none.
  long GetRetryAfterSeconds() const { return m_retryAfterSeconds; }
  // True once the download has run past its deadline (the params' slow
  // server limits, counted from the first DownloadFile of this downloader):
  // every later call fails at once, and the caller should stop retrying.
  bool IsPastDeadline() const { return m_pastDeadline; }
  // Why the last DownloadFile returned false, so the caller knows whether
  // another attempt can help.
  enum Failure {
    kFailureNone,       // it succeeded
    kFailureOther,      // the network or the server: another attempt may do
    kFailureDiskSpace,  // too little free space, found before or while writing
    kFailureWrite,      // the destination could not be written for another reason
    kFailureDigest,     // the whole file arrived with another SHA-256
  };
  Failure GetLastFailure() const { return m_lastFailure; }
  // The bytes that must be free beside the destination before any part is
  // fetched, from the file's size and whether the file is already on disk
  // (kept parts). Without one: the file, and one copy of it.
  void SetDiskNeed(std::function<uint64_t(uint64_t fileBytes, bool fileOnDisk)> need) { m_diskNeed = std::move(need); }
  // The file's size as the last DownloadFile learnt it; 0 before. Read by
  // the progress receiver on the part threads, which start after it is set.
  uint64_t GetFileSizeBytes() const { return m_fileSizeBytes; }

  // ceil(fileSize / partSize); 0 for a part size of 0.
  static uint64_t GetNumParts(uint64_t fileSizeBytes, uint64_t partSizeBytes);
  // The mean of the parts' percents, rounded half up; parts that have not
  // reported count as 0. With no parts, the plain sum.
  static uint32_t CombinePartProgress(const std::map<uint64_t, uint32_t>& partProgress, uint64_t numParts);

 protected:
  // Called once every part has been collected, before the abort flag is
  // looked at for the last time. Does nothing; lets a test act in that window.
  virtual void OnPartsCollected() {}
  // Bytes free for an unprivileged user in the folder; the most a uint64_t
  // holds when that cannot be told.
  virtual uint64_t GetFreeDiskBytes(const KWPath& folder) const;

 private:
  class PartListener;
  struct Slot;

  bool Attempt(bool& discard);
  bool Transfer(int fd, uint64_t numParts);
  bool CheckDiskSpace(uint64_t needBytes);
  // Until the deadline: floor + size / rate from the first call, the size
  // counting once a size query has told it.
  std::chrono::milliseconds TimeLeft() const;
  // True (logged once) once the deadline has passed.
  bool IsOutOfTime();
  // A strong ETag or a digest vouches for kept parts.
  static bool CanKeepParts(const KWLCDownloadRecord& record);
  void AdvanceHash(int fd);
  bool HasExpectedDigest();
  void DiscardKeptParts(const char* why);
  // Forgets what was kept and records the file the size query describes.
  void StartOver(const char* why, const KWString& validator, uint64_t numParts);

  const KWLCCloudParams& m_cloudParams;
  KWString m_url;
  IKWCustomExceptionHandler& m_exceptionHandler;
  const KWAbortFlag& m_abortFlag;
  KWFile m_destinationFile;
  std::vector<KWString> m_headerList;
  uint64_t m_fileSizeBytes;
  const IKWLCCurlProgressCallback* m_progressCallback;
  const void* m_progressCallbackData;
  // Written by every part thread; guarded by m_partProgressMutex.
  mutable std::map<uint64_t, uint32_t> m_partProgress;
  mutable KWMutex m_partProgressMutex;
  std::string m_expectedSHA256;  // lower case; empty = not checked
  bool m_expectedSHA256Valid = true;
  uint64_t m_expectedSizeBytes = 0;
  KWLCDownloadRecord m_ownRecord;
  KWLCDownloadRecord* m_record;
  // Where the size query's redirects led: the parts fetch from there.
  KWString m_partURL;
  long m_retryAfterSeconds;
  bool m_started;
  std::chrono::steady_clock::time_point m_startTime;
  uint64_t m_knownSizeBytes;
  bool m_pastDeadline;
  Failure m_lastFailure = kFailureNone;
  std::function<uint64_t(uint64_t, bool)> m_diskNeed;
};
