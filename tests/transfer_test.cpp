// The ranged downloader, the part service and the multipart downloader
// against real HTTP and HTTPS servers on 127.0.0.1 that misbehave on cue.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "KWException.h"
#include "KWLCBackoff.h"
#include "KWLCCurlFileDownloadService.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLCCurlMultipartFileDownloader.h"
#include "KWLCSha256.h"
#include "TestDoubles.h"
#include "TestUtil.h"
#include "transfer_test_server.h"

namespace {

const uint64_t kPart = 64 * 1024;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Collects what the multipart downloader reports to its caller.
class RecordingReceiver : public IKWLCCurlProgressCallback {
 public:
  bool OnProgress(const void* data, const int& percent) const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data.insert(data);
    m_percents.push_back(percent);
    return m_goOn;
  }
  std::vector<int> Percents() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_percents;
  }
  bool m_goOn = true;

 private:
  mutable std::mutex m_mutex;
  mutable std::vector<int> m_percents;
  mutable std::set<const void*> m_data;
};

class TransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }

  void SetUp() override {
    m_params.m_useHTTPS = false;
    m_params.m_downloadPartSizeBytes = kPart;
    m_params.m_numDownloadThreads = 4;
    // A link that moves nothing for two windows of two seconds fails the call.
    m_params.m_slowServer.m_partQuietSeconds = 2;
    m_params.m_slowServer.m_floorWindowSeconds = 2;
    KWLCCurlFileDownloader::Initialize(m_params);
    // Restarts come back to back here; the waits have tests of their own.
    KWLCBackoff::ResetSchedules(true);
  }
  void TearDown() override { KWLCBackoff::ResetSchedules(); }

  std::string Destination() const { return m_dir.File("image.dmg"); }

  // Everything left in the folder besides the destination.
  std::vector<std::string> LeftoverFiles() const {
    std::vector<std::string> names = ListFolder(m_dir.Path());
    names.erase(std::remove(names.begin(), names.end(), "image.dmg"), names.end());
    return names;
  }

  bool Download(const std::string& url) {
    KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                               KWString(url));
    return downloader.DownloadFile();
  }

  KWLCCloudParams m_params;
  KWAbortFlag m_abort{false};
  CountingExceptionHandler m_handler;
  ScopedTempDir m_dir;
  std::vector<KWString> m_noHeaders;
};

// --- Handle table -----------------------------------------------------------

TEST_F(TransferTest, InitializeMakesOneHandlePerThreadPlusOneForSizeQueries) {
  LogCapture log;
  m_params.m_numDownloadThreads = 16;
  KWLCCurlFileDownloader::Initialize(m_params);
  for (int i = 0; i <= 16; ++i) EXPECT_TRUE(KWLCCurlFileDownloader::HasHandle(i)) << i;
  for (int i = 17; i <= 128; ++i) EXPECT_FALSE(KWLCCurlFileDownloader::HasHandle(i)) << i;

  m_params.m_numDownloadThreads = 128;
  KWLCCurlFileDownloader::Initialize(m_params);
  for (int i = 0; i <= 128; ++i) EXPECT_TRUE(KWLCCurlFileDownloader::HasHandle(i)) << i;

  m_params.m_numDownloadThreads = 129;
  EXPECT_THROW(KWLCCurlFileDownloader::Initialize(m_params), KWLCException);
  EXPECT_TRUE(log.Contains("inCloudParams.m_numDownloadThreads > MAX_DOWNLOAD_THREADS"));
  EXPECT_TRUE(KWLCCurlFileDownloader::HasHandle(128));
}

// --- Ranged downloader --------------------------------------------------------

TEST_F(TransferTest, RangesAreSentInclusiveAndInDecimal) {
  const uint64_t P = 10485760;
  RangeFileServer server(RandomBytes(2 * P + 1, 1));
  KWLCCurlFileDownloader downloader;
  downloader.SetExpectedFileSizeBytes(2 * P + 1);
  const KWFile target(m_dir.File("range").c_str());

  downloader.DownloadFileRangeFromURL(target, P, P, server.Url().c_str(), m_params, 1, m_noHeaders, m_abort);
  EXPECT_TRUE(downloader.IsSuccess());
  EXPECT_EQ(server.Server().Requests().back().Header("Range"), "bytes=10485760-20971519");
  EXPECT_TRUE(ReadFileBytes(m_dir.File("range")) == server.Content().substr(P, P));

  downloader.DownloadFileRangeFromURL(target, 0, 1, server.Url().c_str(), m_params, 1, m_noHeaders, m_abort);
  EXPECT_TRUE(downloader.IsSuccess());
  EXPECT_EQ(server.Server().Requests().back().Header("Range"), "bytes=0-0");
  EXPECT_EQ(ReadFileBytes(m_dir.File("range")), server.Content().substr(0, 1));
}

TEST_F(TransferTest, LengthZeroOnAFreshHandleFetchesTheWholeFile) {
  RangeFileServer server(RandomBytes(3000, 2));
  // Shrinking the table and growing it again gives index 2 a new handle.
  m_params.m_numDownloadThreads = 1;
  KWLCCurlFileDownloader::Initialize(m_params);
  m_params.m_numDownloadThreads = 3;
  KWLCCurlFileDownloader::Initialize(m_params);

  KWLCCurlFileDownloader downloader;
  downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("whole").c_str()), 0, 0, server.Url().c_str(), m_params, 2,
                                      m_noHeaders, m_abort);
  EXPECT_TRUE(downloader.IsSuccess());
  EXPECT_EQ(server.Server().Requests().back().Header("Range"), "");
  EXPECT_EQ(ReadFileBytes(m_dir.File("whole")), server.Content());
}

TEST_F(TransferTest, ThreadIndexUpToTheSizeQueryHandleIsAcceptedAndBeyondRejected) {
  LogCapture log;
  RangeFileServer server(RandomBytes(1000, 3));
  KWLCCurlFileDownloader downloader;
  downloader.SetExpectedFileSizeBytes(1000);
  const KWFile target(m_dir.File("part").c_str());
  downloader.DownloadFileRangeFromURL(target, 0, 1000, server.Url().c_str(), m_params, 4, m_noHeaders, m_abort);
  EXPECT_TRUE(downloader.IsSuccess());

  EXPECT_THROW(
      downloader.DownloadFileRangeFromURL(target, 0, 1000, server.Url().c_str(), m_params, 5, m_noHeaders, m_abort),
      KWLCException);
  EXPECT_FALSE(downloader.IsSuccess());
  EXPECT_TRUE(log.Contains("inThreadIndex > inCloudParams.m_numDownloadThreads"));
  EXPECT_THROW(
      downloader.DownloadFileRangeFromURL(target, 0, 1000, server.Url().c_str(), m_params, -1, m_noHeaders, m_abort),
      KWLCException);
}

TEST_F(TransferTest, AbortBeforeTheHandleLeavesAnEmptyTargetAndSendsNothing) {
  RangeFileServer server(RandomBytes(1000, 4));
  WriteFileBytes(m_dir.File("part"), "old content");
  m_abort = true;
  LogCapture log;
  KWLCCurlFileDownloader downloader;
  downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("part").c_str()), 0, 1000, server.Url().c_str(), m_params, 0,
                                      m_noHeaders, m_abort);
  EXPECT_FALSE(downloader.IsSuccess());
  EXPECT_TRUE(PathExists(m_dir.File("part")));
  EXPECT_EQ(ReadFileBytes(m_dir.File("part")), "");
  EXPECT_TRUE(server.Server().Requests().empty());
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"KWLCCurlFileDownloader::DownloadFileRangeFromURL"});
}

TEST_F(TransferTest, AnExistingTargetIsReplacedNotAppended) {
  RangeFileServer server(RandomBytes(500, 5));
  WriteFileBytes(m_dir.File("deep/folder/part"), std::string(2000, 'x'));
  KWLCCurlFileDownloader downloader;
  downloader.SetExpectedFileSizeBytes(500);
  downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("deep/folder/part").c_str()), 100, 200, server.Url().c_str(),
                                      m_params, 0, m_noHeaders, m_abort);
  EXPECT_EQ(ReadFileBytes(m_dir.File("deep/folder/part")), server.Content().substr(100, 200));
  // The parent folder is made when it is missing.
  downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("new/part").c_str()), 0, 10, server.Url().c_str(), m_params, 0,
                                      m_noHeaders, m_abort);
  EXPECT_EQ(ReadFileBytes(m_dir.File("new/part")), server.Content().substr(0, 10));
}

// Every reply that does not carry exactly the asked bytes fails the part
// and names the URL, the status and the byte counts.
TEST_F(TransferTest, RangeRepliesThatDoNotCarryTheAskedBytesFail) {
  const struct {
    RangeFault fault;
    const char* status;
  } cases[] = {
      {RangeFault::kDropMidBody, "HTTP 206"}, {RangeFault::kStatus500, "HTTP 500"},
      {RangeFault::kStatus503, "HTTP 503"},   {RangeFault::kNotFoundPage, "HTTP 404"},
      {RangeFault::kIgnoreRange, "HTTP 200"}, {RangeFault::kWrongContentRange, "HTTP 206"},
      {RangeFault::kShortBody, "HTTP 206"},
  };
  RangeFileServer server(RandomBytes(4000, 6));
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.status);
    server.SetScript([&](uint64_t, int) { return testCase.fault; });
    LogCapture log;
    KWLCCurlFileDownloader downloader;
    downloader.SetExpectedFileSizeBytes(4000);
    EXPECT_THROW(downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("part").c_str()), 1000, 1000,
                                                     server.Url().c_str(), m_params, 0, m_noHeaders, m_abort),
                 KWLCException);
    EXPECT_FALSE(downloader.IsSuccess());
    EXPECT_TRUE(log.Contains("rejected reply for " + server.Url() + ": " + testCase.status));
    EXPECT_TRUE(log.Contains("of 1000 bytes from byte 1000"));
  }
}

TEST_F(TransferTest, AWholeFileReplyIsAcceptedOnlyWhenTheRangeIsTheWholeFile) {
  RangeFileServer server(RandomBytes(4000, 7));
  server.SetScript([](uint64_t, int) { return RangeFault::kIgnoreRange; });
  KWLCCurlFileDownloader downloader;
  downloader.SetExpectedFileSizeBytes(4000);
  downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("part").c_str()), 0, 4000, server.Url().c_str(), m_params, 0,
                                      m_noHeaders, m_abort);
  EXPECT_TRUE(downloader.IsSuccess());
  EXPECT_EQ(ReadFileBytes(m_dir.File("part")), server.Content());
  // The first bytes of a whole-file reply are right for a first part, but the part is still refused.
  EXPECT_THROW(downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("part").c_str()), 0, 1000, server.Url().c_str(),
                                                   m_params, 0, m_noHeaders, m_abort),
               KWLCException);
}

TEST_F(TransferTest, AbortEndsAStalledTransferQuietly) {
  RangeFileServer server(RandomBytes(200000, 8));
  server.SetScript([](uint64_t, int) { return RangeFault::kStall; });
  KWLCCurlFileDownloader downloader;
  downloader.SetExpectedFileSizeBytes(200000);
  auto transfer = std::async(std::launch::async, [&] {
    downloader.DownloadFileRangeFromURL(KWFile(m_dir.File("part").c_str()), 0, 200000, server.Url().c_str(), m_params,
                                        0, m_noHeaders, m_abort);
  });
  ASSERT_TRUE(server.Server().WaitForRequests(1));
  m_abort = true;
  ASSERT_EQ(transfer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  // Either way the abort was seen (progress: quiet return; write: exception), the part failed.
  try {
    transfer.get();
  } catch (const KWLCException&) {
  }
  EXPECT_FALSE(downloader.IsSuccess());
}

// --- Size query ------------------------------------------------------------------

TEST_F(TransferTest, SizeQueryReadsContentLengthWhateverItsCase) {
  for (bool lowerCase : {false, true}) {
    RangeFileServer::Options options;
    options.lowerCaseHeaders = lowerCase;
    RangeFileServer server(RandomBytes(12345, 9), options);
    KWLCCurlFileDownloader downloader;
    EXPECT_EQ(downloader.GetFileSizeBytesFromURL(server.Url().c_str(), m_params, m_noHeaders, m_abort), 12345u);
    EXPECT_TRUE(downloader.IsSuccess());
    EXPECT_EQ(server.Server().Requests().back().method, "HEAD");
  }
}

TEST_F(TransferTest, SizeQueryFailsUnlessTheFinalStatusIsSuccess) {
  LogCapture log;
  RangeFileServer server(RandomBytes(100, 10));
  KWLCCurlFileDownloader downloader;
  EXPECT_THROW(downloader.GetFileSizeBytesFromURL(server.Url("/missing").c_str(), m_params, m_noHeaders, m_abort),
               KWLCException);
  EXPECT_FALSE(downloader.IsSuccess());
  EXPECT_TRUE(log.Contains("HTTP status 404"));

  // Nothing listens on a port just given back: a libcurl error.
  std::string closedUrl;
  {
    TestHttpServer gone([](const TestHttpRequest&, TestHttpConnection&) {});
    closedUrl = gone.BaseUrl() + "/file.bin";
  }
  EXPECT_THROW(downloader.GetFileSizeBytesFromURL(closedUrl.c_str(), m_params, m_noHeaders, m_abort), KWLCException);
  EXPECT_TRUE(log.Contains("KWLCCurlFileDownloader::GetFileSizeBytesFromURL, failed to get filesize for " + closedUrl +
                           ". Curl returned 7."));
}

TEST_F(TransferTest, ARedirectedImageIsSizedAndFetchedWhereTheRedirectLeads) {
  RangeFileServer server(RandomBytes(2 * kPart + 5000, 11));
  KWLCCurlFileDownloader downloader;
  EXPECT_EQ(downloader.GetFileSizeBytesFromURL(server.Url("/moved").c_str(), m_params, m_noHeaders, m_abort),
            2 * kPart + 5000);  // not the redirect's own Content-Length
  EXPECT_EQ(downloader.GetEffectiveURL(), KWString(server.Url().c_str()));
  EXPECT_EQ(server.HeadRequests(), 1);

  ASSERT_TRUE(Download(server.Url("/moved")));
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());

  // A redirect loop ends after a few hops, not at the time-out.
  m_params.m_responseTimeoutMS = 5000;
  const size_t requests = server.Server().Requests().size();
  EXPECT_THROW(downloader.GetFileSizeBytesFromURL(server.Url("/loop").c_str(), m_params, m_noHeaders, m_abort),
               KWLCException);
  EXPECT_LE(server.Server().Requests().size(), requests + 11);
}

// --- Part service ----------------------------------------------------------------

TEST(PartRangeTest, PartsCoverTheFileAndShareHandlesRoundRobin) {
  const uint64_t P = 10485760;
  const struct {
    uint64_t part, size;
    uint32_t threads;
    uint64_t first, length;
    int index;
  } cases[] = {
      {0, 25 * 1048576, 16, 0, P, 0},  {1, 25 * 1048576, 16, P, P, 1},  {2, 25 * 1048576, 16, 2 * P, P / 2, 2},
      {2, 2 * P + 1, 16, 2 * P, 1, 2}, {16, 100 * P, 16, 16 * P, P, 0}, {17, 100 * P, 16, 17 * P, P, 1},
      {5, 100 * P, 1, 5 * P, P, 0},    {5, 100 * P, 0, 5 * P, P, 0},    {0, P, 16, 0, P, 0},
  };
  for (const auto& c : cases) {
    const KWLCPartRange range = KWLCCurlFileDownloadService::GetPartRange(c.part, c.size, P, c.threads);
    EXPECT_EQ(range.m_firstByte, c.first) << c.part;
    EXPECT_EQ(range.m_lengthBytes, c.length) << c.part;
    EXPECT_EQ(range.m_threadIndex, c.index) << c.part;
  }
  EXPECT_EQ(KWLCCurlFileDownloadService::GetPartFile(KWFile("/tmp/x/image.dmg"), 12).GetPath().GetPathAsKWString(),
            KWString("/tmp/x/image.dmg12"));
}

TEST_F(TransferTest, PartServiceRunsAgainFromScratchAfterAJoin) {
  RangeFileServer server(RandomBytes(3 * kPart, 12));
  server.SetScript([](uint64_t, int attempt) { return attempt == 0 ? RangeFault::kStatus503 : RangeFault::kNone; });
  LogCapture log;
  KWLCCurlFileDownloadService part(m_params, m_abort, m_handler, KWFile(Destination().c_str()), server.Url().c_str());
  part.SetPartNumber(1);
  part.SetFileSizeBytes(3 * kPart);
  part.StartService();
  part.Join();
  EXPECT_TRUE(part.IsDone());
  EXPECT_FALSE(part.IsSuccess());
  EXPECT_TRUE(log.Contains("Caught unknown exception in KWLCCurlFileDownloadService::Run"));
  part.StartService();
  part.Join();
  EXPECT_TRUE(part.IsSuccess());
  EXPECT_EQ(part.GetPartFileDownloadLocation().GetPath().GetPathAsKWString(), KWString((Destination() + "1").c_str()));
  EXPECT_TRUE(ReadFileBytes(Destination() + "1") == server.Content().substr(kPart, kPart));
  EXPECT_EQ(m_handler.calls, 0);

  EXPECT_THROW(part.StopService(false), KWLCException);
  EXPECT_THROW(part.Pause(true), KWLCException);
  EXPECT_THROW(part.Resume(), KWLCException);
  EXPECT_FALSE(part.IsPaused());
}

TEST_F(TransferTest, PartServiceQueriesTheSizeItselfWhenNotGiven) {
  RangeFileServer server(RandomBytes(2 * kPart + 7, 13));
  KWLCCurlFileDownloadService part(m_params, m_abort, m_handler, KWFile(Destination().c_str()), server.Url().c_str());
  part.SetPartNumber(2);
  part.StartService();
  part.Join();
  EXPECT_TRUE(part.IsSuccess());
  EXPECT_EQ(server.HeadRequests(), 1);
  EXPECT_EQ(ReadFileBytes(Destination() + "2"), server.Content().substr(2 * kPart));
}

// --- Multipart downloader --------------------------------------------------------

TEST_F(TransferTest, DownloadsFilesOfEveryShapeByteForByte) {
  for (uint64_t size : {uint64_t(1), kPart - 1, kPart, kPart + 1, 5 * kPart / 2, 11 * kPart + 3}) {
    SCOPED_TRACE(size);
    RangeFileServer server(RandomBytes(size, static_cast<unsigned>(size)));
    ASSERT_TRUE(Download(server.Url()));
    EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());
    EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
    const uint64_t parts = (size + kPart - 1) / kPart;
    for (uint64_t n = 0; n < parts; ++n) EXPECT_EQ(server.RangeRequests(n * kPart), 1);
  }
}

TEST_F(TransferTest, HandlesBoundHowManyPartsTransferAtOnce) {
  RangeFileServer server(RandomBytes(9 * kPart, 14));
  m_params.m_numDownloadThreads = 1;
  KWLCCurlFileDownloader::Initialize(m_params);
  ASSERT_TRUE(Download(server.Url()));
  EXPECT_EQ(server.MaxConcurrentTransfers(), 1);
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());

  RangeFileServer wider(RandomBytes(9 * kPart, 15));
  m_params.m_numDownloadThreads = 3;
  KWLCCurlFileDownloader::Initialize(m_params);
  ASSERT_TRUE(Download(wider.Url()));
  EXPECT_LE(wider.MaxConcurrentTransfers(), 3);
  EXPECT_TRUE(ReadFileBytes(Destination()) == wider.Content());
}

TEST_F(TransferTest, APartFailingTwiceIsRestartedAndTheFileIsWhole) {
  RangeFileServer server(RandomBytes(3 * kPart, 16));
  server.SetScript([](uint64_t first, int attempt) {
    if (first != kPart) return RangeFault::kNone;
    return attempt == 0 ? RangeFault::kStatus503 : attempt == 1 ? RangeFault::kDropMidBody : RangeFault::kNone;
  });
  ASSERT_TRUE(Download(server.Url()));
  // The 503 wrote nothing; the cut-off body goes on from its last byte.
  EXPECT_EQ(server.RangeRequests(kPart), 2);
  EXPECT_EQ(server.RangeRequests(kPart + kPart / 2), 1);
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
}

// Each fault, once, on a different part: all recover, and no error page or
// foreign byte reaches the image.
TEST_F(TransferTest, EveryKindOfBadReplyIsRetriedAndNeverWrittenIntoTheImage) {
  const RangeFault faults[] = {RangeFault::kDropMidBody,       RangeFault::kStatus500,   RangeFault::kStatus503,
                               RangeFault::kNotFoundPage,      RangeFault::kIgnoreRange, RangeFault::kShortBody,
                               RangeFault::kWrongContentRange, RangeFault::kNone};
  RangeFileServer server(RandomBytes(8 * kPart, 17));
  server.SetScript(
      [&](uint64_t first, int attempt) { return attempt == 0 ? faults[first / kPart] : RangeFault::kNone; });
  ASSERT_TRUE(Download(server.Url()));
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
}

// A part that keeps failing is asked again while the rest of the file
// moves; the call fails only once nothing moves for two floor windows, and
// a part refused three times (404) fails it at once.
TEST_F(TransferTest, AFailingPartIsAskedAgainUntilTheLinkIsJudgedTooSlow) {
  LogCapture log;
  RangeFileServer server(RandomBytes(4 * kPart, 18));
  server.SetScript([](uint64_t first, int) { return first == kPart ? RangeFault::kStatus500 : RangeFault::kNone; });
  KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                             server.Url().c_str());
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_EQ(downloader.GetLastFailure(), KWLCCurlMultipartFileDownloader::kFailureTooSlow);
  EXPECT_GT(server.RangeRequests(kPart), 10);
  EXPECT_EQ(server.RangeRequests(3 * kPart), 1);
  EXPECT_TRUE(log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, successCount != numParts"));
  EXPECT_TRUE(PathExists(Destination())) << "the other parts are kept";

  server.SetScript([](uint64_t first, int) { return first == kPart ? RangeFault::kNotFoundPage : RangeFault::kNone; });
  const int before = server.RangeRequests(kPart);
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_EQ(server.RangeRequests(kPart), before + 3);
  EXPECT_EQ(downloader.GetLastFailure(), KWLCCurlMultipartFileDownloader::kFailureOther);
  EXPECT_TRUE(log.Contains("part 1 refused 3 times: not asking again"));
}

// One slow part must not hold back the parts behind it: any free connection
// takes the next part.
TEST_F(TransferTest, FreeConnectionsTakeTheNextPartsWhileOneIsSlow) {
  RangeFileServer server(RandomBytes(8 * kPart, 31));
  m_params.m_numDownloadThreads = 2;
  KWLCCurlFileDownloader::Initialize(m_params);
  server.HoldRange(0, 7);
  ASSERT_TRUE(Download(server.Url()));
  EXPECT_TRUE(server.HeldRangeSawTheOthers());
  EXPECT_LE(server.MaxConcurrentTransfers(), 2);
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());
}

TEST_F(TransferTest, AbortDuringTheTransferRestartsNothingAndLeavesNothing) {
  RangeFileServer server(RandomBytes(6 * kPart, 19));
  server.SetScript([](uint64_t, int) { return RangeFault::kStall; });
  const auto start = std::chrono::steady_clock::now();
  auto download = std::async(std::launch::async, [&] { return Download(server.Url()); });
  ASSERT_TRUE(server.Server().WaitForRequests(3));  // HEAD and at least two parts under way
  m_abort = true;
  ASSERT_EQ(download.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_FALSE(download.get());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("abort_seconds", std::to_string(seconds));
  for (uint64_t n = 0; n < 6; ++n) EXPECT_LE(server.RangeRequests(n * kPart), 1);
  EXPECT_FALSE(PathExists(Destination()));
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
}

TEST_F(TransferTest, WholePartsAreKeptAcrossCallsUntilTheFileChanges) {
  RangeFileServer server(RandomBytes(3 * kPart, 20));
  server.Replace(server.Content(), "\"v1\"");
  // A part refused three times fails the call at once.
  const auto failFirstPart = [](uint64_t first, int) {
    return first == 0 ? RangeFault::kNotFoundPage : RangeFault::kNone;
  };
  server.SetScript(failFirstPart);
  KWLCDownloadRecord record;
  {
    KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                               server.Url().c_str());
    downloader.SetDownloadRecord(&record);
    EXPECT_FALSE(downloader.DownloadFile());
  }
  EXPECT_TRUE(record.HasKeptParts());
  // A new downloader on the same record (the user's Retry) fetches only the missing part.
  server.SetScript(nullptr);
  KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                             server.Url().c_str());
  downloader.SetDownloadRecord(&record);
  EXPECT_TRUE(downloader.DownloadFile());
  EXPECT_EQ(server.HeadRequests(), 2);  // the size is asked again after a failure
  EXPECT_EQ(server.RangeRequests(0), 4);
  EXPECT_EQ(server.RangeRequests(kPart), 1);
  EXPECT_EQ(server.RangeRequests(2 * kPart), 1);
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());
  // Every range, the first wave's too, names the version it belongs to.
  for (const TestHttpRequest& request : server.Server().Requests()) {
    if (request.method == "GET") {
      EXPECT_EQ(request.Header("If-Range"), "\"v1\"");
    }
  }

  // A file that changed between attempts: nothing kept survives.
  LogCapture log;
  server.SetScript(failFirstPart);
  EXPECT_FALSE(downloader.DownloadFile());
  const std::string changed = RandomBytes(3 * kPart - 9, 32);
  server.Replace(changed, "\"v2\"");
  server.SetScript(nullptr);
  EXPECT_TRUE(downloader.DownloadFile());
  EXPECT_TRUE(
      log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, the file on the server changed: kept parts "
                   "discarded"));
  EXPECT_EQ(server.RangeRequests(kPart), 3);
  EXPECT_TRUE(ReadFileBytes(Destination()) == changed);

  // A file of kept parts that was cut short holds none of them.
  server.SetScript(failFirstPart);
  EXPECT_FALSE(downloader.DownloadFile());
  ASSERT_EQ(truncate(Destination().c_str(), kPart), 0);
  server.SetScript(nullptr);
  EXPECT_TRUE(downloader.DownloadFile());
  EXPECT_TRUE(ReadFileBytes(Destination()) == changed);
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());

  // A weak ETag vouches for nothing: without a digest the file comes whole
  // over one connection and nothing is kept (two versions could be mixed
  // into one file) ...
  server.Replace(changed, "W/\"v3\"");
  server.SetScript(failFirstPart);
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_FALSE(record.HasKeptParts());
  server.SetScript(nullptr);
  int before = server.RangeRequests(kPart);
  const int wholeBefore = server.RangeRequests(0);
  EXPECT_TRUE(downloader.DownloadFile());
  EXPECT_EQ(server.RangeRequests(kPart), before) << "no parts";
  EXPECT_EQ(server.RangeRequests(0), wholeBefore + 1);
  // ... while the expected digest checks the whole file, so parts are kept.
  KWLCSha256 digest;
  digest.Update(changed.data(), changed.size());
  downloader.SetExpectedSHA256(digest.FinalHex().c_str());
  server.SetScript(failFirstPart);
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_TRUE(record.HasKeptParts());
  server.SetScript(nullptr);
  before = server.RangeRequests(kPart);
  EXPECT_TRUE(downloader.DownloadFile());
  EXPECT_EQ(server.RangeRequests(kPart), before);
  EXPECT_TRUE(ReadFileBytes(Destination()) == changed);
}

// With a record file, a download cut off by a quit (or a crash: the record
// is saved as the bytes arrive) goes on in a new process from every part's
// last byte; a record that does not read back as written is not trusted.
TEST_F(TransferTest, ARecordedDownloadGoesOnInTheNextProcessFromItsLastBytes) {
  RangeFileServer server(RandomBytes(4 * kPart, 41));
  server.SetScript([](uint64_t first, int) { return first == 3 * kPart ? RangeFault::kStall : RangeFault::kNone; });
  m_params.m_slowServer.m_partQuietSeconds = 60;
  const std::string recordFile = m_dir.File("image.record");
  {
    KWLCDownloadRecord record;
    record.SetRecordFile(KWFile(recordFile.c_str()));
    KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                               server.Url().c_str());
    downloader.SetDownloadRecord(&record);
    auto download = std::async(std::launch::async, [&] { return downloader.DownloadFile(); });
    while (downloader.GetBytesDone() < 3 * kPart + kPart / 2) std::this_thread::yield();
    m_abort = true;
    EXPECT_FALSE(download.get());
  }
  m_abort = false;
  server.SetScript(nullptr);
  for (int process = 0; process < 2; ++process) {
    SCOPED_TRACE(process);
    if (process == 1) {
      // Torn: the last bytes of the record never reached the disk.
      const std::string text = ReadFileBytes(recordFile);
      WriteFileBytes(recordFile, text.substr(0, text.size() - 3));
    }
    const int before = server.RangeRequests(0);
    KWLCDownloadRecord record;
    record.SetRecordFile(KWFile(recordFile.c_str()));
    KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                               server.Url().c_str());
    downloader.SetDownloadRecord(&record);
    ASSERT_TRUE(downloader.DownloadFile());
    EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());
    if (process == 0) {
      EXPECT_EQ(server.RangeRequests(0), before) << "nothing whole is fetched again";
      EXPECT_EQ(server.RangeRequests(3 * kPart + kPart / 2), 1);
      // The whole file stays recorded until its user deletes it.
      ASSERT_TRUE(PathExists(recordFile));
    } else {
      EXPECT_EQ(server.RangeRequests(0), before + 1) << "an untrusted record keeps nothing";
    }
  }
}

// Without a digest, a server that swaps the image mid-download must not get
// the halves of two images into one: the reply under the new ETag throws the
// old bytes away, and the next call fetches the new image whole.
TEST_F(TransferTest, AnImageSwappedDuringTheDownloadIsNeverMixedIn) {
  const std::string first = RandomBytes(8 * kPart, 42);
  const std::string second = RandomBytes(8 * kPart, 43);
  RangeFileServer server(first);
  server.SetScript([](uint64_t byte, int) { return byte == 4 * kPart ? RangeFault::kStall : RangeFault::kNone; });
  m_params.m_numDownloadThreads = 1;
  KWLCCurlFileDownloader::Initialize(m_params);
  LogCapture log;
  KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                             server.Url().c_str());
  auto download = std::async(std::launch::async, [&] { return downloader.DownloadFile(); });
  ASSERT_TRUE(server.Server().WaitForRequests(6));  // the HEAD and parts 0 to 4, the last one stalled
  server.Replace(second, "\"2\"");
  EXPECT_FALSE(download.get());
  EXPECT_TRUE(log.Contains(
      "KWLCCurlMultipartFileDownloader::DownloadFile, the file changed on the server during the download"));
  server.SetScript(nullptr);
  ASSERT_TRUE(downloader.DownloadFile());
  EXPECT_TRUE(ReadFileBytes(Destination()) == second);
}

// A server that trickles (2 bytes a second) never stalls outright: its part
// is never dropped for being slow, and the call fails once the whole
// download stays under the floor, keeping what arrived. The deadline ends
// the download too, running parts included, and no attempt starts after it.
TEST_F(TransferTest, ATricklingServerFailsAtTheFloorAndAtTheDeadline) {
  const std::string content = RandomBytes(2 * kPart, 40);
  std::atomic<int> gets{0};
  TestHttpServer server([&content, &gets](const TestHttpRequest& request, TestHttpConnection& connection) {
    if (request.method == "HEAD") {
      connection.SendResponse(200, content, "ETag: \"t\"\r\n", true);
      return;
    }
    ++gets;
    connection.Send("HTTP/1.1 206 Partial Content\r\nETag: \"t\"\r\nContent-Range: bytes 0-" +
                    std::to_string(kPart - 1) + "/" + std::to_string(content.size()) +
                    "\r\nContent-Length: " + std::to_string(kPart) + "\r\n\r\n");
    size_t sent = 0;
    while (connection.Send(content.substr(sent++, 1))) connection.WaitForPeer(std::chrono::milliseconds(500));
    connection.Close();
  });
  m_params.m_numDownloadThreads = 1;
  KWLCCurlFileDownloader::Initialize(m_params);
  LogCapture log;
  {
    KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                               KWString(server.BaseUrl() + "/image.dmg"));
    EXPECT_FALSE(downloader.DownloadFile());
    EXPECT_EQ(downloader.GetLastFailure(), KWLCCurlMultipartFileDownloader::kFailureTooSlow);
    EXPECT_EQ(gets.load(), 1) << "a part that still receives bytes is never dropped";
    EXPECT_TRUE(log.Contains("under 512 bytes a second (2 of 2)"));
    EXPECT_GT(downloader.GetBytesDone(), 0u);
  }

  m_params.m_slowServer.m_floorBytesPerSecond = 0;
  m_params.m_slowServer.m_deadlineFloorSeconds = 3;
  m_params.m_slowServer.m_deadlineBytesPerSecond = std::numeric_limits<uint32_t>::max();
  KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                             KWString(server.BaseUrl() + "/image.dmg"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "the running part ended too";
  EXPECT_TRUE(downloader.IsPastDeadline());
  EXPECT_TRUE(log.Contains("the download did not end within 3 s: the server is too slow"));
  const size_t requests = server.Requests().size();
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_EQ(server.Requests().size(), requests) << "nothing is asked once the time is up";
  EXPECT_TRUE(PathExists(Destination())) << "what arrived stays for the user's Retry";
}

TEST_F(TransferTest, AFailedSizeQueryIsReportedAndAskedAgainNextTime) {
  LogCapture log;
  RangeFileServer server(RandomBytes(100, 21));
  KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                             server.Url("/missing").c_str());
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_EQ(server.Server().Requests().size(), 2u);
  EXPECT_TRUE(log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, caught Exception."));
}

TEST_F(TransferTest, APartSizeOfZeroIsRefusedWithoutAnyRequest) {
  LogCapture log;
  RangeFileServer server(RandomBytes(100, 22));
  m_params.m_downloadPartSizeBytes = 0;
  EXPECT_FALSE(Download(server.Url()));
  EXPECT_TRUE(server.Server().Requests().empty());
  EXPECT_TRUE(log.Contains("m_downloadPartSizeBytes == 0"));
}

// Acts in the window between the last part arriving and the end, and says
// how much disk space there is.
class InterruptedDownloader : public KWLCCurlMultipartFileDownloader {
 public:
  using KWLCCurlMultipartFileDownloader::KWLCCurlMultipartFileDownloader;
  std::function<void()> m_onCollected = [] {};
  uint64_t m_freeBytes = std::numeric_limits<uint64_t>::max();

 protected:
  void OnPartsCollected() override { m_onCollected(); }
  uint64_t GetFreeDiskBytes(const KWPath&) const override { return m_freeBytes; }
};

TEST_F(TransferTest, AnAbortAfterTheLastPartLeavesNoImage) {
  RangeFileServer server(RandomBytes(3 * kPart, 23));
  InterruptedDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()), server.Url().c_str());
  downloader.m_onCollected = [&] { m_abort = true; };
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_FALSE(PathExists(Destination()));
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
}

TEST_F(TransferTest, TooLittleDiskSpaceFailsBeforeAnyPartIsFetched) {
  LogCapture log;
  RangeFileServer server(RandomBytes(3 * kPart, 24));
  InterruptedDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()), server.Url().c_str());
  downloader.m_freeBytes = 6 * kPart - 1;  // the image and its unpacked copy need 6 parts
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_TRUE(log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, not enough disk space in " + m_dir.Path() +
                           ": " + std::to_string(6 * kPart - 1) + " bytes free, " + std::to_string(6 * kPart) +
                           " needed"));
  EXPECT_EQ(server.Server().Requests().size(), 1u) << "only the size query may reach the server";
  EXPECT_FALSE(PathExists(Destination()));
  downloader.m_freeBytes = 6 * kPart;
  EXPECT_TRUE(downloader.DownloadFile());
}

TEST_F(TransferTest, ADestinationThatCannotBeWrittenFailsAndLeavesNoPartFiles) {
  LogCapture log;
  RangeFileServer server(RandomBytes(2 * kPart, 25));
  ASSERT_EQ(mkdir(Destination().c_str(), 0755), 0);  // a folder where the image should go
  EXPECT_FALSE(Download(server.Url()));
  EXPECT_TRUE(
      log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, cannot open " + Destination() + ": Is a directory"));
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
}

TEST_F(TransferTest, AnImageWithAnotherDigestIsDeletedAndTheCallFails) {
  RangeFileServer server(RandomBytes(3 * kPart + 1, 30));
  KWLCSha256 hash;
  hash.Update(server.Content().data(), server.Content().size());
  const std::string actual = hash.FinalHex();
  std::string digest = actual;
  for (char& c : digest) c = static_cast<char>(toupper(c));  // the case of the hex does not matter
  KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                             server.Url().c_str());
  downloader.SetExpectedSHA256(digest.c_str());
  ASSERT_TRUE(downloader.DownloadFile());
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());

  LogCapture log;
  const std::string other(64, '0');
  downloader.SetExpectedSHA256(other.c_str());
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_TRUE(log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, SHA-256 mismatch: expected " + other +
                           ", got " + actual));
  EXPECT_FALSE(PathExists(Destination()));
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());

  // A digest no file can have fails before any request.
  const size_t requests = server.Server().Requests().size();
  downloader.SetExpectedSHA256(actual.substr(1).c_str());
  EXPECT_FALSE(downloader.DownloadFile());
  downloader.SetExpectedSHA256((actual.substr(1) + "g").c_str());
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_EQ(server.Server().Requests().size(), requests);
  EXPECT_TRUE(
      log.Contains("KWLCCurlMultipartFileDownloader::DownloadFile, refusing a SHA-256 that is not 64 hex digits"));
}

TEST(PartCountTest, PartsCoverTheFile) {
  using D = KWLCCurlMultipartFileDownloader;
  EXPECT_EQ(D::GetNumParts(10485760, 10485760), 1u);
  EXPECT_EQ(D::GetNumParts(10485761, 10485760), 2u);
  EXPECT_EQ(D::GetNumParts(5, 0), 0u);
}

TEST_F(TransferTest, ProgressReachesTheCallerAndAFalseAnswerStopsTheParts) {
  RangeFileServer server(RandomBytes(6 * kPart, 26));
  KWLCCurlMultipartFileDownloader downloader(m_params, m_handler, m_abort, KWFile(Destination().c_str()),
                                             server.Url().c_str());
  EXPECT_FALSE(downloader.OnProgress(nullptr, 50));
  RecordingReceiver receiver;
  downloader.SetProgressCallback(&receiver);
  ASSERT_TRUE(downloader.DownloadFile());
  const std::vector<int> percents = receiver.Percents();
  ASSERT_FALSE(percents.empty());
  for (int percent : percents) {
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
  }
  EXPECT_EQ(*std::max_element(percents.begin(), percents.end()), 100);

  receiver.m_goOn = false;
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
}

// --- HTTPS -----------------------------------------------------------------------

class TlsTransferTest : public TransferTest {
 protected:
  static std::string Cert(const char* name) { return std::string(CLIPVANE_TEST_CERT_DIR) + "/" + name; }
  static RangeFileServer::Options Tls(const char* name) {
    RangeFileServer::Options options;
    options.tls = true;
    options.certificateFile = Cert((std::string(name) + ".pem").c_str());
    options.keyFile = Cert((std::string(name) + ".key").c_str());
    return options;
  }
};

TEST_F(TlsTransferTest, DownloadsOverHttpsWithTheGivenCA) {
  RangeFileServer server(RandomBytes(3 * kPart + 5, 27), Tls("server"));
  m_params.m_useHTTPS = true;
  m_params.m_caCertPath = Cert("ca.pem").c_str();
  ASSERT_TRUE(Download(server.Url()));
  EXPECT_TRUE(ReadFileBytes(Destination()) == server.Content());
}

TEST_F(TlsTransferTest, AnHttpsUrlIsVerifiedEvenWhenTheRecordSaysPlain) {
  RangeFileServer server(RandomBytes(2 * kPart, 28), Tls("server"));
  // The handles first carry a transfer that trusts the test CA ...
  m_params.m_useHTTPS = true;
  m_params.m_caCertPath = Cert("ca.pem").c_str();
  ASSERT_TRUE(Download(server.Url()));
  // ... which must not let a plain record through to a CA the system does not trust.
  m_params.m_useHTTPS = false;
  LogCapture log;
  EXPECT_FALSE(Download(server.Url()));
  EXPECT_TRUE(log.Contains("Curl returned 60."));
  EXPECT_EQ(LeftoverFiles(), std::vector<std::string>());
}

TEST_F(TlsTransferTest, ACertificateForAnotherHostIsRejected) {
  RangeFileServer server(RandomBytes(kPart, 29), Tls("wronghost"));
  m_params.m_useHTTPS = true;
  m_params.m_caCertPath = Cert("ca.pem").c_str();
  EXPECT_FALSE(Download(server.Url()));
  EXPECT_FALSE(PathExists(Destination()));
}

}  // namespace

namespace {

// --- Replies no product image gives ---------------------------------------------

TEST_F(TransferTest, AbsurdFileSizeIsRefusedWithoutStartingParts) {
  TestHttpServer server([](const TestHttpRequest& request, TestHttpConnection& connection) {
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999\r\n\r\n");
    if (request.method != "HEAD") connection.Close();
  });
  CountingExceptionHandler handler;
  KWLCCurlMultipartFileDownloader downloader(m_params, handler, m_abort, KWFile(Destination().c_str()),
                                             KWString(server.BaseUrl() + "/huge.dmg"));
  EXPECT_FALSE(downloader.DownloadFile());
  EXPECT_EQ(server.Requests().size(), 1u) << "only the size query may reach the server";
  EXPECT_TRUE(ListFolder(m_dir.Path()).empty());
}

TEST_F(TransferTest, AbortEndsAStalledSizeQuery) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  TestHttpServer server([released](const TestHttpRequest&, TestHttpConnection&) {
    released.wait_for(std::chrono::seconds(60));  // never answers the HEAD
  });
  auto query = std::async(std::launch::async, [&] {
    KWLCCurlFileDownloader downloader;
    return downloader.GetFileSizeBytesFromURL(KWString(server.BaseUrl() + "/image.dmg"), m_params, m_noHeaders,
                                              m_abort);
  });
  ASSERT_TRUE(server.WaitForRequests(1));
  m_abort = true;
  ASSERT_EQ(query.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the quit was not seen";
  EXPECT_THROW(query.get(), KWLCException);
  release.set_value();
}

}  // namespace

namespace {

// --- Backoff -------------------------------------------------------------------

TEST(BackoffTest, DelaysGrowToTheCapWithJitterAndHonourACappedRetryAfter) {
  using std::chrono::milliseconds;
  const KWLCBackoffSchedule schedule = {milliseconds(1000), 2.0, milliseconds(8000), 0.5, milliseconds(20000), false};
  KWLCBackoff backoff(schedule);
  const long nominal[] = {1000, 2000, 4000, 8000, 8000, 8000};
  for (unsigned retry = 0; retry < 6; ++retry) {
    for (int draw = 0; draw < 50; ++draw) {
      const long delay = static_cast<long>(backoff.Delay(retry).count());
      EXPECT_LE(delay, nominal[retry]) << retry;
      EXPECT_GE(delay, nominal[retry] / 2) << retry;
    }
  }
  EXPECT_GE(backoff.Delay(0, 15).count(), 15000);
  EXPECT_EQ(backoff.Delay(0, 3600).count(), 20000);
  EXPECT_LE(backoff.Delay(5, 0).count(), 8000);
  EXPECT_LE(backoff.Delay(1000000).count(), 8000);

  KWLCBackoffSchedule immediate = schedule;
  immediate.m_immediate = true;
  EXPECT_EQ(KWLCBackoff(immediate).Delay(3, 60).count(), 0);

  EXPECT_EQ(KWLCBackoff::ParseRetryAfter("120"), 120);
  EXPECT_EQ(KWLCBackoff::ParseRetryAfter(" 7"), 7);
  EXPECT_EQ(KWLCBackoff::ParseRetryAfter("Wed, 21 Oct 2015 07:28:00 GMT"), 0);  // a date gone by
  EXPECT_EQ(KWLCBackoff::ParseRetryAfter("soon"), -1);
  EXPECT_EQ(KWLCBackoff::ParseRetryAfter(nullptr), -1);
}

TEST(BackoffTest, TheAbortFlagEndsAWaitAtOnce) {
  KWAbortFlag abort{false};
  auto wait = std::async(std::launch::async, [&] { return KWLCBackoff::Wait(std::chrono::hours(1), abort); });
  abort = true;
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(wait.get());
  EXPECT_FALSE(KWLCBackoff::Wait(std::chrono::milliseconds(0), abort));
  abort = false;
  EXPECT_TRUE(KWLCBackoff::Wait(std::chrono::milliseconds(0), abort));
}

}  // namespace
