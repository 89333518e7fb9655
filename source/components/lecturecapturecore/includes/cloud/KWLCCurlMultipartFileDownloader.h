// KWLCCurlMultipartFileDownloader: downloads one remote file by cutting it
// into parts that parallel connections fetch, each connection taking the
// next missing part as soon as it is free. Every part is written in place
// into the destination, which is created at its full size first; nothing is
// joined afterwards. It starts with a few connections and adds more while
// the whole download's rate grows, up to the params' thread count.
//
// Nothing fetched is thrown away while something vouches for the bytes: the
// server's strong ETag (unchanged, sent as If-Range on every range and
// compared with every reply's), or the expected SHA-256 (the same one),
// which checks the whole file at the end; never Last-Modified alone. A part
// that is cut off goes on from its last written byte, in the same call and
// in the next; with a record file (see KWLCDownloadRecord) also in the next
// process. With neither validator the file is fetched whole over one
// connection, and a broken transfer starts over: bytes of two versions of
// the file must never meet in one image.
//
// A slow link is judged by the whole download: a part that still receives
// bytes is never dropped; one that receives nothing for the quiet time is
// asked again from where it stopped; the call fails (kFailureTooSlow) when
// the whole download stays under the floor rate (see KWLCSlowServerLimits).
//
//   KWLCCurlFileDownloader::Initialize(params);
//   KWLCCurlMultipartFileDownloader::Initialize();
//   KWLCCurlMultipartFileDownloader downloader(params, handler, exitFlag, destination, url);
//   downloader.SetProgressCallback(&receiver);
//   downloader.SetDownloadRecord(&record);   // optional
//   bool done = downloader.DownloadFile();   // may be called again after false
#pragma once

#include <atomic>
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
#include "KWLCDownloadRecord.h"
#include "KWString.h"
#include "KWThread.h"

class KWLCSha256;

class KWLCCurlMultipartFileDownloader : public IKWLCCurlProgressCallback {
 public:
  // The most parts one file may have (40 GiB at the default part size).
  static const uint64_t kMaxParts = 4096;

  KWLCCurlMultipartFileDownloader(const KWLCCloudParams& cloudParams, IKWCustomExceptionHandler& exceptionHandler,
                                  const KWAbortFlag& abortFlag, const KWFile& destinationFile, const KWString& url);
  KWLCCurlMultipartFileDownloader(const KWLCCurlMultipartFileDownloader&) = delete;
  KWLCCurlMultipartFileDownloader& operator=(const KWLCCurlMultipartFileDownloader&) = delete;

  // Called on the part threads, several at once, with the reporting part
  // service as data; reports the whole file's percent, from the bytes on
  // disk, to the caller's receiver. False stops that part.
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
  // Where kept bytes are recorded; it must outlive every DownloadFile call.
  // Null goes back to the downloader's own record. A record with a record
  // file is loaded by the first call (when it holds nothing yet) and saved
  // as the download goes; its bytes then also survive a quit, which only
  // stops the transfers.
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
    kFailureTooSlow,    // the whole download stayed under the floor rate
  };
  Failure GetLastFailure() const { return m_lastFailure; }
  // The bytes that must be free beside the destination before any part is
  // fetched, from the file's size and whether the file is already on disk
  // (kept parts). Without one: the file, and one copy of it.
  void SetDiskNeed(std::function<uint64_t(uint64_t fileBytes, bool fileOnDisk)> need) { m_diskNeed = std::move(need); }
  // The file's size as the last DownloadFile learnt it; 0 before. Read by
  // the progress receiver on the part threads, which start after it is set.
  uint64_t GetFileSizeBytes() const { return m_fileSizeBytes; }
  // Bytes of the file on disk, kept ones included, as the last call left
  // them or as the running one sees them; any thread.
  uint64_t GetBytesDone() const { return m_bytesDone.load(std::memory_order_relaxed); }
  // Kept bytes older than this are fetched again.
  static constexpr int64_t kMaxKeptAgeSeconds = 7 * 24 * 3600;

  // ceil(fileSize / partSize); 0 for a part size of 0.
  static uint64_t GetNumParts(uint64_t fileSizeBytes, uint64_t partSizeBytes);

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
  bool Transfer(int fd, uint64_t numParts, bool& discard);
  // Saves the record with the bytes the running parts wrote so far, once
  // they are on disk.
  void SaveProgress(int fd, const std::vector<Slot>& slots);
  bool CheckDiskSpace(uint64_t needBytes);
  // Until the deadline: floor + size / rate from the first call, the size
  // counting once a size query has told it.
  std::chrono::milliseconds TimeLeft() const;
  // True (logged once) once the deadline has passed.
  bool IsOutOfTime();
  // A strong ETag or a digest vouches for kept bytes.
  static bool CanKeepParts(const KWLCDownloadRecord& record);
  void AdvanceHash(int fd);
  bool HasExpectedDigest();
  void DiscardKeptParts(const char* why);
  // Forgets what was kept and records the file the size query describes.
  void StartOver(const char* why, const KWString& validator, uint64_t partSizeBytes);

  const KWLCCloudParams& m_cloudParams;
  KWString m_url;
  IKWCustomExceptionHandler& m_exceptionHandler;
  const KWAbortFlag& m_abortFlag;
  KWFile m_destinationFile;
  std::vector<KWString> m_headerList;
  uint64_t m_fileSizeBytes;
  const IKWLCCurlProgressCallback* m_progressCallback;
  const void* m_progressCallbackData;
  std::atomic<uint64_t> m_bytesDone{0};
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
  bool m_recordLoaded = false;
  std::function<uint64_t(uint64_t, bool)> m_diskNeed;
};
