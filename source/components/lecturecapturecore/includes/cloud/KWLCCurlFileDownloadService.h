// KWLCCurlFileDownloadService: downloads one part of a remote file on a
// worker thread of its own, into a part file beside the destination. No
// exception leaves the thread; the outcome is read with IsSuccess after Join.
//
//   KWLCCurlFileDownloadService part(params, abortFlag, handler, destination, url);
//   part.SetPartNumber(3);
//   part.SetFileSizeBytes(size);
//   part.StartService();
//   part.Join();
//   if (part.IsSuccess()) ... part.GetPartFileDownloadLocation() ...
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "IKWLCCloudService.h"
#include "IKWLCCurlProgressCallback.h"
#include "KWAbortFlag.h"
#include "KWCustomException.h"
#include "KWFile.h"
#include "KWLCCloudStructs.h"
#include "KWLCCloudThreadCallbackReceiver.h"
#include "KWLCWorkerThread.h"
#include "KWString.h"
#include "KWThread.h"

// Where one part lies in the remote file and which shared handle carries it.
struct KWLCPartRange {
  uint64_t m_firstByte;
  uint64_t m_lengthBytes;
  int m_threadIndex;
};

class KWLCCurlFileDownloadService;

// Hears, on the part's own thread, that a part's run has ended; the outcome
// is read after Join.
class IKWLCPartDoneListener {
 public:
  virtual void OnPartDone(KWLCCurlFileDownloadService* part) = 0;

 protected:
  ~IKWLCPartDoneListener() = default;
};

class KWLCCurlFileDownloadService : public IKWLCCloudService {
 public:
  KWLCCurlFileDownloadService(const KWLCCloudParams& cloudParams, const KWAbortFlag& abortFlag,
                              IKWCustomExceptionHandler& exceptionHandler, const KWFile& destinationFile,
                              const KWString& url);
  ~KWLCCurlFileDownloadService() override;
  KWLCCurlFileDownloadService(const KWLCCurlFileDownloadService&) = delete;
  KWLCCurlFileDownloadService& operator=(const KWLCCurlFileDownloadService&) = delete;

  // Must not be called while the service's thread runs; Join first.
  void StartService() override;
  // Only a waiting stop exists: false throws. Does not interrupt a transfer;
  // only the abort flag does.
  void StopService(const bool& wait) override;
  void Pause(const bool& wait) override;
  void Resume() override;
  void Join() override;
  bool IsDone() const override { return m_isDone; }
  bool IsSuccess() const override { return m_isSuccess; }
  bool IsPaused() const override { return m_isPaused; }
  // The thread body.
  void Run() override;

  void SetPartNumber(const uint64_t& partNumber);
  uint64_t GetPartNumber() const { return m_partNumber; }
  void SetFileSizeBytes(const uint64_t& fileSizeBytes) { m_fileSizeBytes = fileSizeBytes; }
  void SetHeaderList(const std::vector<KWString>& headerList) { m_headerList = headerList; }
  // Bytes of the part already in the destination: the run fetches the rest.
  void SetDoneBytes(uint64_t doneBytes) { m_doneBytes = doneBytes; }
  // The strong ETag the part's bytes must come from; see KWLCCurlFileDownloader.
  void SetValidator(const KWString& etag) { m_validator = etag; }
  // Bytes the current or last run wrote, counted as they are written; any
  // thread. A run writes its range in order from its first byte.
  uint64_t GetWrittenBytes() const { return m_writtenBytes.load(std::memory_order_relaxed); }
  // Asks a running part to end soon (its progress receiver is told to stop
  // it); any thread. Cleared by StartService.
  void Cancel() { m_cancelled = true; }
  bool IsCancelled() const { return m_cancelled; }
  // Set once the part has run; empty before.
  KWFile GetPartFileDownloadLocation() const { return m_partFile; }
  void SetProgressCallback(const IKWLCCurlProgressCallback* callback) { m_progressCallback = callback; }
  void SetProgressCallbackData(const void* data) { m_progressCallbackData = data; }
  // The shared handle the part uses, instead of the round-robin one; -1
  // goes back to round-robin.
  void SetThreadIndex(int threadIndex) { m_threadIndex = threadIndex; }
  // An open destination that the part writes its range into in place; -1
  // (the default) writes the part file.
  void SetTargetDescriptor(int fd) { m_targetDescriptor = fd; }
  void SetDoneListener(IKWLCPartDoneListener* listener) { m_doneListener = listener; }
  // Of the last run, read after Join: see KWLCCurlFileDownloader.
  long GetHTTPStatus() const { return m_httpStatus; }
  long GetRetryAfterSeconds() const { return m_retryAfterSeconds; }
  int GetWriteErrno() const { return m_writeErrno; }
  bool IsValidatorMismatch() const { return m_validatorMismatch; }
  bool IsRetryable() const { return m_retryable; }

  // Part N of a file of fileSize bytes cut into partSize pieces; the last
  // part takes the remainder. Parts share the threads handles round-robin.
  static KWLCPartRange GetPartRange(uint64_t partNumber, uint64_t fileSizeBytes, uint64_t partSizeBytes,
                                    uint32_t numThreads);
  // "<destination name><N>" in the destination's folder.
  static KWFile GetPartFile(const KWFile& destinationFile, uint64_t partNumber);

 private:
  bool DownloadPart();

  KWLCWorkerThread m_workerThread;
  KWLCCloudThreadCallbackReceiver m_threadCallbackReceiver;
  const KWLCCloudParams& m_cloudParams;
  // Written by the owner, read by the part's thread.
  std::atomic<bool> m_isStopRequested;
  // Written by the part's thread; the owner reads them after Join.
  std::atomic<bool> m_isDone;
  std::atomic<bool> m_isSuccess;
  bool m_isPaused;
  KWMutex m_stopMutex;
  KWCondition m_stopCondition;
  const KWAbortFlag& m_abortFlag;
  KWFile m_destinationFile;
  KWFile m_partFile;
  uint64_t m_fileSizeBytes;
  KWString m_url;
  uint64_t m_partNumber;
  std::vector<KWString> m_headerList;
  bool m_isPartNumberSet;
  const IKWLCCurlProgressCallback* m_progressCallback;
  const void* m_progressCallbackData;
  int m_threadIndex;
  int m_targetDescriptor;
  IKWLCPartDoneListener* m_doneListener;
  // Written by the part's thread; the owner reads them after Join.
  long m_httpStatus;
  long m_retryAfterSeconds;
  int m_writeErrno;
  bool m_validatorMismatch;
  bool m_retryable;
  uint64_t m_doneBytes;
  KWString m_validator;
  std::atomic<uint64_t> m_writtenBytes;
  std::atomic<bool> m_cancelled;
};
