#include "KWLCCurlFileDownloadService.h"

#include "KWException.h"
#include "KWFileUtil.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLogger.h"

namespace {
const char kThisFile[] = "source/components/lecturecapturecore/cloud/KWLCCurlFileDownloadService";
}  // namespace

KWLCCurlFileDownloadService::KWLCCurlFileDownloadService(const KWLCCloudParams& cloudParams,
                                                         const KWAbortFlag& abortFlag,
                                                         IKWCustomExceptionHandler& exceptionHandler,
                                                         const KWFile& destinationFile, const KWString& url)
    : m_workerThread(exceptionHandler, m_threadCallbackReceiver, kKWThreadPriorityNormal),
      m_threadCallbackReceiver(*this),
      m_cloudParams(cloudParams),
      m_isStopRequested(false),
      m_isDone(false),
      m_isSuccess(true),
      m_isPaused(false),
      m_abortFlag(abortFlag),
      m_destinationFile(destinationFile),
      m_fileSizeBytes(0),
      m_url(url),
      m_partNumber(0),
      m_isPartNumberSet(false),
      m_progressCallback(nullptr),
      m_progressCallbackData(nullptr),
      m_threadIndex(-1),
      m_targetDescriptor(-1),
      m_doneListener(nullptr),
      m_httpStatus(0),
      m_retryAfterSeconds(-1),
      m_writeErrno(0),
      m_validatorMismatch(false),
      m_retryable(true),
      m_doneBytes(0),
      m_writtenBytes(0),
      m_cancelled(false) {
  KWLOG("KWLCCurlFileDownloadService::KWLCCurlFileDownloadService");
}

KWLCCurlFileDownloadService::~KWLCCurlFileDownloadService() {
  KWLOG("KWLCCurlFileDownloadService::~KWLCCurlFileDownloadService");
  StopService(true);
}

void KWLCCurlFileDownloadService::StartService() {
  KWLOG("KWLCCurlFileDownloadService::StartService");
  m_isStopRequested = false;
  m_isDone = false;
  m_isPaused = false;
  m_writtenBytes = 0;
  m_cancelled = false;
  m_workerThread.start();
}

void KWLCCurlFileDownloadService::StopService(const bool& wait) {
  KWLOG("KWLCCurlFileDownloadService::StopService");
  if (!wait) throw KWLCException("kKWErrorInternal", kThisFile, __LINE__, false);
  if (IsPaused()) Resume();
  {
    KWLock lock(m_stopMutex);
    m_isStopRequested = true;
    m_stopCondition.notify_all();
  }
  m_workerThread.join();
}

void KWLCCurlFileDownloadService::Pause(const bool& /*wait*/) {
  KWLOG("KWLCCurlFileDownloadService::Pause, not implemented!");
  throw KWLCException("kKWErrorInternal", kThisFile, __LINE__, false);
}

void KWLCCurlFileDownloadService::Resume() {
  KWLOG("KWLCCurlFileDownloadService::Resume, not implemented!");
  throw KWLCException("kKWErrorInternal", kThisFile, __LINE__, false);
}

void KWLCCurlFileDownloadService::Join() {
  KWLOG("KWLCCurlFileDownloadService::Join");
  m_workerThread.join();
}

void KWLCCurlFileDownloadService::SetPartNumber(const uint64_t& partNumber) {
  m_partNumber = partNumber;
  m_isPartNumberSet = true;
}

KWLCPartRange KWLCCurlFileDownloadService::GetPartRange(uint64_t partNumber, uint64_t fileSizeBytes,
                                                        uint64_t partSizeBytes, uint32_t numThreads) {
  KWLCPartRange range;
  range.m_firstByte = partNumber * partSizeBytes;
  range.m_lengthBytes = partSizeBytes;
  if (range.m_firstByte + partSizeBytes > fileSizeBytes) {
    range.m_lengthBytes = fileSizeBytes > range.m_firstByte ? fileSizeBytes - range.m_firstByte : 0;
  }
  range.m_threadIndex = numThreads >= 2 ? static_cast<int>(partNumber % numThreads) : 0;
  return range;
}

KWFile KWLCCurlFileDownloadService::GetPartFile(const KWFile& destinationFile, uint64_t partNumber) {
  KWString name = KWFileUtil::GetFileName(destinationFile);
  name.AppendUInt64(partNumber);
  return KWFile(destinationFile.GetPath().GetParentKWPath(0xFFFFFFFF).AppendNew(name, KWPath::kKWPathKindFile));
}

void KWLCCurlFileDownloadService::Run() {
  KWLOG("KWLCCurlFileDownloadService::Run");
  m_isSuccess = false;
  m_httpStatus = 0;
  m_retryAfterSeconds = -1;
  m_writeErrno = 0;
  m_validatorMismatch = false;
  m_retryable = true;
  try {
    m_isSuccess = DownloadPart();
  } catch (...) {
    KWLOG("Caught unknown exception in KWLCCurlFileDownloadService::Run");
    m_isSuccess = false;
  }
  m_isDone = true;
  if (m_doneListener != nullptr) m_doneListener->OnPartDone(this);
}

bool KWLCCurlFileDownloadService::DownloadPart() {
  KWLOG("KWLCCurlFileDownloadService::DownloadPart");
  KWLCCurlFileDownloader downloader;
  const KWString url(m_url);

  if (m_fileSizeBytes == 0 && m_isPartNumberSet) {
    m_fileSizeBytes = downloader.GetFileSizeBytesFromURL(m_url, m_cloudParams, m_headerList, m_abortFlag);
    if (m_fileSizeBytes == 0) {
      KWLOG("KWLCCurlFileDownloadService::DownloadPart, m_fileSizeBytes == 0");
      return false;
    }
  }

  KWLCPartRange range = {0, m_fileSizeBytes, 0};
  if (m_isPartNumberSet) {
    if (m_cloudParams.m_downloadPartSizeBytes == 0) {
      KWLOG("KWLCCurlFileDownloadService::DownloadPart, part size is 0");
      return false;
    }
    range = GetPartRange(m_partNumber, m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes,
                         m_cloudParams.m_numDownloadThreads);
    if (m_threadIndex >= 0) range.m_threadIndex = m_threadIndex;
    // A part that was cut off goes on from its last byte.
    if (m_doneBytes >= range.m_lengthBytes && range.m_lengthBytes != 0) return true;
    range.m_firstByte += m_doneBytes;
    range.m_lengthBytes -= m_doneBytes;
    m_partFile = m_targetDescriptor >= 0 ? m_destinationFile : GetPartFile(m_destinationFile, m_partNumber);
    // A part past the end would fetch the whole file (a length of 0 sets no
    // range), so it is refused instead.
    if (range.m_lengthBytes == 0) {
      KWLOG("KWLCCurlFileDownloadService::DownloadPart, part %llu starts beyond the file's %llu bytes",
            static_cast<unsigned long long>(m_partNumber), static_cast<unsigned long long>(m_fileSizeBytes));
      return false;
    }
  } else if (m_partFile.GetPath().IsEmpty()) {
    // Without a part number the whole file goes to the destination itself.
    m_partFile = m_destinationFile;
  }

  downloader.SetProgressCallback(m_progressCallback);
  downloader.SetProgressCallbackData(m_progressCallbackData);
  downloader.SetExpectedFileSizeBytes(m_fileSizeBytes);
  downloader.SetTargetDescriptor(m_isPartNumberSet ? m_targetDescriptor : -1);
  downloader.SetWrittenCounter(&m_writtenBytes);
  downloader.SetValidator(m_validator);
  try {
    downloader.DownloadFileRangeFromURL(m_partFile, range.m_firstByte, range.m_lengthBytes, url, m_cloudParams,
                                        range.m_threadIndex, m_headerList, m_abortFlag);
  } catch (...) {
    m_httpStatus = downloader.GetHTTPStatus();
    m_retryAfterSeconds = downloader.GetRetryAfterSeconds();
    m_writeErrno = downloader.GetWriteErrno();
    m_validatorMismatch = downloader.IsValidatorMismatch();
    m_retryable = downloader.IsRetryable();
    throw;
  }
  return !m_isStopRequested && !m_abortFlag && downloader.IsSuccess();
}
