#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "KWException.h"
#include "KWLCWorkerThread.h"
#include "KWSharedDeque.h"
#include "TestUtil.h"

namespace {

class RecordingHandler : public IKWCustomExceptionHandler {
 public:
  void OnCustomException(const KWLCException& exception) override {
    ++typedCalls;
    lastCode = exception.GetCode();
  }
  void OnCustomException() override { ++untypedCalls; }

  std::atomic<int> typedCalls{0};
  std::atomic<int> untypedCalls{0};
  std::atomic<int> lastCode{0};
};

template <typename Body>
class LambdaCallback : public KWLCWorkerThreadCallback {
 public:
  explicit LambdaCallback(Body body) : m_body(body) {}
  void ThreadRun() override { m_body(); }

 private:
  Body m_body;
};

template <typename Body>
void RunOnWorker(RecordingHandler& handler, Body body) {
  LambdaCallback<Body> callback(body);
  KWLCWorkerThread thread(handler, callback, kKWThreadPriorityNormal);
  thread.start();
  thread.join();
}

TEST(KWLCWorkerThreadTest, KWLCExceptionReachesTypedHandlerAfterReport) {
  LogCapture log;
  RecordingHandler handler;
  RunOnWorker(handler, [] { throw KWLCException(9002, "here", 7, false); });
  EXPECT_EQ(handler.typedCalls, 1);
  EXPECT_EQ(handler.untypedCalls, 0);
  EXPECT_EQ(handler.lastCode, 9002);
  EXPECT_TRUE(log.Contains("Assert failed: KWCustomException in KWLCWorkerThread"));
}

TEST(KWLCWorkerThreadTest, OtherExceptionsReachUntypedHandler) {
  LogCapture log;
  RecordingHandler handler;
  RunOnWorker(handler, [] { throw 42; });
  RunOnWorker(handler, [] { throw std::runtime_error("boom"); });
  EXPECT_EQ(handler.typedCalls, 0);
  EXPECT_EQ(handler.untypedCalls, 2);
  EXPECT_TRUE(log.Contains("Assert failed: Exception in KWLCWorkerThread"));
}

TEST(KWLCWorkerThreadTest, NormalReturnCallsNoHandler) {
  RecordingHandler handler;
  std::atomic<bool> ran{false};
  RunOnWorker(handler, [&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(handler.typedCalls + handler.untypedCalls, 0);
}

TEST(KWSharedDequeTest, FrontBlocksUntilPushAndKeepsTheItem) {
  KWSharedDeque<int> queue;
  std::promise<void> waiting;
  auto consumer = std::async(std::launch::async, [&] {
    waiting.set_value();
    int item = 0;
    queue.Front(item);
    return item;
  });
  waiting.get_future().wait();
  // Front cannot have returned: the queue is still empty.
  EXPECT_EQ(consumer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  queue.PushBack(5);
  ASSERT_EQ(consumer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(consumer.get(), 5);
  EXPECT_TRUE(queue.PopFront());
  EXPECT_FALSE(queue.PopFront());
}

TEST(KWSharedDequeTest, PopFrontOnEmptyReturnsFalse) {
  KWSharedDeque<int> queue;
  EXPECT_FALSE(queue.PopFront());
  queue.PushBack(1);
  EXPECT_TRUE(queue.PopFront());
  EXPECT_FALSE(queue.PopFront());
}

TEST(KWSharedDequeTest, KeepsEachProducersOrderAndLosesNothing) {
  KWSharedDeque<int> queue;
  const int kProducers = 4;
  const int kItems = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kItems; ++i) queue.PushBack(p * kItems + i);
    });
  }
  std::vector<int> lastSeen(kProducers, -1);
  for (int received = 0; received < kProducers * kItems; ++received) {
    int item = -1;
    queue.Front(item);
    ASSERT_TRUE(queue.PopFront());
    const int producer = item / kItems;
    ASSERT_LT(lastSeen[producer], item % kItems) << "items of one producer arrived out of order";
    lastSeen[producer] = item % kItems;
  }
  for (std::thread& producer : producers) producer.join();
  EXPECT_FALSE(queue.PopFront());
}

}  // namespace
