#include "yin/Pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "yin/Consumer.h"
#include "yin/ConsumerProducer.h"
#include "yin/Producer.h"
#include "yin/RequestThread.h"

namespace {

using Item = std::shared_ptr<int>;
using IntChannel = yin::Channel<Item>;
constexpr int kEndless = -1;

std::shared_ptr<IntChannel> channel() {
    return std::make_shared<IntChannel>();
}

// Counts up from 0; ends the stream at `limit`, aborts at `abortAt`.
class Counter : public yin::Producer<Item> {
  public:
    Counter(std::shared_ptr<IntChannel> out, yin::Latch& latch, int limit, int abortAt = -1)
        : Producer(std::move(out), latch), limit_(limit), abortAt_(abortAt) {}
    void started() override { startedCalled = true; }
    void done() override { doneCalled = true; }
    bool isDone() override { return produced == stopAt; }

    std::atomic<bool> startedCalled{false};
    bool doneCalled = false;
    int produced = 0;
    int stopAt = -1;
    std::shared_future<void> gate;

  protected:
    void produce(Item& item) override {
        if (gate.valid())
            gate.wait();
        if (produced == abortAt_)
            throw yin::abort_exception("counter failed");
        if (produced == limit_)
            throw yin::pc_exception("finished");
        item = std::make_shared<int>(produced++);
    }

  private:
    int limit_;
    int abortAt_;
};

// Doubles every item; throws a plain error at item `failAt`. Logs to its own queue.
class Doubler : public yin::RequestThread, public yin::ConsumerProducer<Item> {
  public:
    Doubler(std::shared_ptr<IntChannel> in, std::shared_ptr<IntChannel> out, yin::Latch& latch,
            int failAt = -1)
        : RequestThread(std::make_shared<winutil::NetLogger>()),
          ConsumerProducer(std::move(in), std::move(out), latch),
          failAt_(failAt) {}
    void started() override { installNetLogger(); }

  protected:
    void consumeProduce(Item& output, Item& input) override {
        if (*input == failAt_)
            throw std::runtime_error("boom");
        output = std::make_shared<int>(*input * 2);
    }

  private:
    int failAt_;
};

// Collects items; aborts after `abortAfter` items, stops (isDone) after `stopAfter`.
class Collector : public yin::Consumer<Item> {
  public:
    Collector(std::shared_ptr<IntChannel> in, yin::Latch& latch, int abortAfter = -1)
        : Consumer(std::move(in), latch), abortAfter_(abortAfter) {}
    bool isDone() override { return static_cast<int>(seen.size()) == stopAfter; }

    std::vector<int> seen;
    int stopAfter = -1;
    int timeouts = 0;
    std::promise<void> firstTimeout;

  protected:
    void consume(Item item) override {
        if (static_cast<int>(seen.size()) == abortAfter_)
            throw yin::abort_exception("failed");
        seen.push_back(*item);
    }
    void timeout() override {
        if (++timeouts == 1)
            firstTimeout.set_value();
        Consumer::timeout();
    }

  private:
    int abortAfter_;
};

TEST(PipelineTest, StreamEndsThroughEveryStageInOrder) {
    yin::Pipeline pipeline;
    auto first = channel(), second = channel();
    auto& counter = pipeline.emplace<Counter>(first, pipeline.latch(), 5000);
    auto& doubler = pipeline.emplace<Doubler>(first, second, pipeline.latch());
    auto& collector = pipeline.emplace<Collector>(second, pipeline.latch());
    for (yin::Stage* stage :
         {static_cast<yin::Stage*>(&counter), static_cast<yin::Stage*>(&doubler),
          static_cast<yin::Stage*>(&collector)})
        pipeline.start(*stage);
    pipeline.run();
    ASSERT_EQ(5000u, collector.seen.size());
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(2 * i, collector.seen[i]);
    EXPECT_TRUE(counter.reachedEnd() && doubler.reachedEnd() && collector.reachedEnd());
    EXPECT_TRUE(counter.doneCalled);
}

TEST(PipelineTest, NoStageRunsBeforeTheLatchOpens) {
    yin::Pipeline pipeline;
    auto link = channel();
    auto& counter = pipeline.emplace<Counter>(link, pipeline.latch(), 3);
    auto& collector = pipeline.emplace<Collector>(link, pipeline.latch());
    pipeline.start(counter);
    pipeline.start(collector);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(counter.startedCalled.load());
    EXPECT_EQ(0u, link->size());
    pipeline.run();
    EXPECT_EQ(3u, collector.seen.size());
}

TEST(PipelineTest, AbandonedBuildEndsStartedStagesWithoutRunningThem) {
    yin::Pipeline pipeline;
    auto& counter = pipeline.emplace<Counter>(channel(), pipeline.latch(), kEndless);
    pipeline.start(counter);
    // The builder fails here: leaving the scope must not wait for ever.
    EXPECT_FALSE(counter.startedCalled.load());
}

TEST(PipelineTest, AbortFromTheConsumerReachesTheProducer) {
    yin::Pipeline pipeline;
    auto first = channel(), second = channel();
    auto& counter = pipeline.emplace<Counter>(first, pipeline.latch(), kEndless);
    auto& doubler = pipeline.emplace<Doubler>(first, second, pipeline.latch());
    auto& collector = pipeline.emplace<Collector>(second, pipeline.latch(), 5);
    pipeline.start(counter);
    pipeline.start(doubler);
    pipeline.start(collector);
    pipeline.run();
    EXPECT_EQ(5u, collector.seen.size());
    EXPECT_TRUE(counter.aborting() && doubler.aborting() && collector.aborting());
    EXPECT_FALSE(counter.reachedEnd());
}

TEST(PipelineTest, AbortFromTheProducerReachesTheConsumer) {
    yin::Pipeline pipeline;
    auto first = channel(), second = channel();
    auto& counter = pipeline.emplace<Counter>(first, pipeline.latch(), kEndless, 10);
    auto& doubler = pipeline.emplace<Doubler>(first, second, pipeline.latch());
    auto& collector = pipeline.emplace<Collector>(second, pipeline.latch());
    pipeline.start(counter);
    pipeline.start(doubler);
    pipeline.start(collector);
    pipeline.run();
    EXPECT_TRUE(collector.aborting());
    EXPECT_FALSE(collector.reachedEnd());
    EXPECT_LE(collector.seen.size(), 10u);
}

TEST(PipelineTest, PlainErrorIsLoggedAndAbortsBothSides) {
    yin::Pipeline pipeline;
    auto first = channel(), second = channel();
    auto& counter = pipeline.emplace<Counter>(first, pipeline.latch(), kEndless);
    auto& doubler = pipeline.emplace<Doubler>(first, second, pipeline.latch(), 3);
    auto& collector = pipeline.emplace<Collector>(second, pipeline.latch());
    pipeline.start(counter);
    pipeline.start(doubler);
    pipeline.start(collector);
    pipeline.run();
    // The failure must not look like a complete stream downstream.
    EXPECT_FALSE(collector.reachedEnd());
    EXPECT_TRUE(counter.aborting());
    std::string log;
    doubler.netLogger()->drainInto(log);
    EXPECT_NE(std::string::npos, log.find("Caught exception in consumerProducer: boom"));
}

TEST(PipelineTest, StageThatStopsItselfNeverStrandsItsNeighbours) {
    yin::Pipeline pipeline;
    auto link = channel();
    auto& counter = pipeline.emplace<Counter>(link, pipeline.latch(), kEndless);
    auto& collector = pipeline.emplace<Collector>(link, pipeline.latch());
    collector.stopAfter = 3;
    pipeline.start(counter);
    pipeline.start(collector);
    pipeline.run();  // the endless producer is released by the abandoned input
    EXPECT_EQ(3u, collector.seen.size());
    EXPECT_FALSE(counter.reachedEnd());
}

TEST(PipelineTest, ProducerThatIsDoneClosesItsOutput) {
    yin::Pipeline pipeline;
    auto link = channel();
    auto& counter = pipeline.emplace<Counter>(link, pipeline.latch(), kEndless);
    counter.stopAt = 4;
    auto& collector = pipeline.emplace<Collector>(link, pipeline.latch());
    pipeline.start(counter);
    pipeline.start(collector);
    pipeline.run();
    EXPECT_EQ(4u, collector.seen.size());
    EXPECT_TRUE(counter.doneCalled);
    EXPECT_TRUE(collector.reachedEnd());
}

TEST(PipelineTest, TimeoutKeepsTheConsumerRunning) {
    yin::Pipeline pipeline;
    auto link = channel();
    auto& counter = pipeline.emplace<Counter>(link, pipeline.latch(), 3);
    auto& collector = pipeline.emplace<Collector>(link, pipeline.latch());
    counter.gate = collector.firstTimeout.get_future().share();
    collector.setTimeout(1);
    pipeline.start(counter);
    pipeline.start(collector);
    pipeline.run();
    EXPECT_EQ(1, collector.timeouts);
    EXPECT_EQ(3u, collector.seen.size());
    EXPECT_TRUE(collector.reachedEnd());
}

}  // namespace
