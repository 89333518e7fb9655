// KWLCCurlFileDownloader: the size query and the ranged transfer of one part,
// over a process-wide table of libcurl handles addressed by thread index.
// Each handle has its own mutex, held for a whole operation, so the number of
// handles bounds how many transfers run at once however many threads ask.
//
//   KWLCCurlFileDownloader::Initialize(params);          // once, before any transfer
//   KWLCCurlFileDownloader downloader;
//   uint64_t size = downloader.GetFileSizeBytesFromURL(url, params, headers, abortFlag);
//   downloader.DownloadFileRangeFromURL(partFile, 0, size, url, params, 0, headers, abortFlag);
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "IKWLCCurlProgressCallback.h"
#include "KWAbortFlag.h"
#include "KWFile.h"
#include "KWLCCloudStructs.h"
#include "KWString.h"
#include "KWThread.h"

class KWLCCurlFileDownloader {
 public:
  // Creates handles 0 to m_numDownloadThreads (the last one serves size
  // queries) and their mutexes. Must not overlap any transfer. A second call
  // keeps the handles it still needs and releases the others.
  static void Initialize(const KWLCCloudParams& inCloudParams);
  // True when Initialize left a handle at this index.
  static bool HasHandle(int inThreadIndex);

  KWLCCurlFileDownloader();

  bool IsSuccess() const { return m_success; }
  void SetProgressCallback(const IKWLCCurlProgressCallback* callback) { m_progressCallback = callback; }
  void SetProgressCallbackData(const void* data) { m_progressCallbackData = data; }
  // Size of the whole remote file, when known, so that a ranged reply's
  // Content-Range total can be checked; 0 checks only that it is consistent.
  void SetExpectedFileSizeBytes(uint64_t size) { m_expectedFileSizeBytes = size; }
  // An open file that range transfers write into at the range's own offset,
  // instead of replacing the target file; -1 (the default) for the target.
  // A reply that is not the asked range then never writes a byte.
  void SetTargetDescriptor(int fd) { m_targetDescriptor = fd; }
  // Counts the bytes a range transfer writes in place as it writes them, so
  // that another thread can watch the transfer move; null counts nothing.
  void SetWrittenCounter(std::atomic<uint64_t>* counter) { m_writtenCounter = counter; }
  // The strong ETag the bytes must come from. A range transfer sends it as
  // If-Range, and a reply from another version of the file (another ETag,
  // or the whole file in answer to a range) writes nothing and fails with
  // IsValidatorMismatch. Empty checks nothing.
  void SetValidator(const KWString& etag) { m_expectedValidator = etag; }

  // What the last size query learned from the final response, after
  // redirects: the URL it came from, and its strong ETag (empty when it had
  // none, or only a weak one).
  const KWString& GetEffectiveURL() const { return m_effectiveURL; }
  const KWString& GetValidator() const { return m_validator; }
  // After a failed operation: the HTTP status of the final response (0 when
  // none came), the Retry-After of a 503 or 429 in seconds (-1 when none),
  // and the errno of a failed write to the target (0 when none).
  long GetHTTPStatus() const { return m_httpStatus; }
  long GetRetryAfterSeconds() const { return m_retryAfterSeconds; }
  int GetWriteErrno() const { return m_writeErrno; }
  // After a failed range transfer: the reply came from another version of
  // the file than SetValidator named.
  bool IsValidatorMismatch() const { return m_validatorMismatch; }
  // After a failed operation: network trouble, a time-out or a server-side
  // error, which another try may mend; false for a refusal (403, 404), a
  // certificate we do not trust and the like, which will answer the same.
  bool IsRetryable() const { return m_retryable; }

  // A HEAD request on the size-query handle, following redirects. Succeeds
  // only for a final 2xx status; returns the final response's Content-Length
  // (0 when none). Throws
  // KWLCException on a libcurl error or another status.
  uint64_t GetFileSizeBytesFromURL(const KWString& inURL, const KWLCCloudParams& inCloudParams,
                                   const std::vector<KWString>& inHeaderList, const KWAbortFlag& inAbortFlag);

  // Fetches length bytes from firstByte into the target, replacing it. An
  // abort returns quietly with IsSuccess false; a libcurl error or a reply
  // that does not carry exactly the asked bytes throws KWLCException.
  void DownloadFileRangeFromURL(const KWFile& inTargetFile, const uint64_t& inFirstByte, const uint64_t& inLengthBytes,
                                const KWString& inURL, const KWLCCloudParams& inCloudParams, const int& inThreadIndex,
                                const std::vector<KWString>& inHeaderList, const KWAbortFlag& inAbortFlag);

 private:
  static void* ms_pCurl[MAX_DOWNLOAD_THREADS + 1];
  static KWMutex* ms_pCurlMutex[MAX_DOWNLOAD_THREADS + 1];

  bool m_success;
  const IKWLCCurlProgressCallback* m_progressCallback;
  const void* m_progressCallbackData;
  uint64_t m_expectedFileSizeBytes;
  int m_targetDescriptor;
  KWString m_effectiveURL;
  KWString m_validator;
  long m_httpStatus;
  long m_retryAfterSeconds;
  int m_writeErrno;
  std::atomic<uint64_t>* m_writtenCounter;
  KWString m_expectedValidator;
  bool m_validatorMismatch;
  bool m_retryable;
};
