// Usage analytics: callers on any thread queue named events; one sender thread
// turns each into an HTTP ping, in order, so a slow analytics service never
// holds up the installer.
//
//   LCInstallerAnalytics::StartThread(handler);            // once, at start-up
//   LCInstallerAnalytics::PingTalkToOstrelServer("DownloadDone", "1");
//   LCInstallerAnalytics::StopThread();                    // sends what is queued, 2 s at most
#pragma once

#include <atomic>
#include <memory>

#include "KWCustomException.h"
#include "KWLCWorkerThread.h"
#include "KWSharedDeque.h"
#include "KWString.h"
#include "KWThread.h"

struct LCInstallerTTOPingData {
  LCInstallerTTOPingData() = default;
  LCInstallerTTOPingData(const KWString& name, const KWString& value) : m_name(name), m_value(value) {}

  KWString m_name;
  KWString m_value;
};

class LCInstallerTTOThread : public KWLCWorkerThreadCallback {
 public:
  LCInstallerTTOThread(IKWCustomExceptionHandler& handler, KWSharedDeque<LCInstallerTTOPingData>& queue);
  virtual ~LCInstallerTTOThread();

  void ThreadRun() override;
  void Start();
  // Returns after every event queued before the call has been handled, or
  // after kStopDeadlineMS: a request still running then is ended and the
  // events still queued are dropped (and counted in the log).
  void Stop();

  static constexpr unsigned int kStopDeadlineMS = 2000;

 private:
  // Drops the queued events up to the stop sentinel; returns their number.
  int DropUntilSentinel();

  KWLCWorkerThread m_workerThread;
  KWSharedDeque<LCInstallerTTOPingData>& m_queue;
  std::atomic<bool> m_stopRequested{false};
  // Set by Stop when the deadline has passed; read by the sender.
  std::atomic<bool> m_abortRequested{false};
  KWMutex m_endMutex;
  KWCondition m_endCondition;
  bool m_ended = true;  // guarded by m_endMutex
};

class LCInstallerAnalytics {
 public:
  static void StartThread(IKWCustomExceptionHandler& handler);
  static void StopThread();
  static void PingTalkToOstrelServer(const KWString& name, const KWString& value);
  // Tests see every event as it is queued; null removes the observer. Called
  // on the queuing thread.
  typedef void (*PingObserver)(const LCInstallerTTOPingData& ping);
  static void SetPingObserverForTesting(PingObserver observer);

  // The pieces of a ping, exposed for tests.
  static KWString GetPingUrl(const KWString& name, const KWString& value);
  static KWString GetCLVTalkToOstrelDirectory();
  static KWString GetOptOutFilePath();
  // Sends pings to another host ("host:port") instead of the compiled-in
  // analytics host; empty restores it. For tests against a local server.
  static void SetServerHostForTesting(const KWString& host);
  // RFC 3986: unreserved characters stay, every other byte becomes %XX.
  static KWString PercentEncode(const KWString& text);

 private:
  static KWSharedDeque<LCInstallerTTOPingData> m_queue;
  static std::unique_ptr<LCInstallerTTOThread> ms_thread;
};
