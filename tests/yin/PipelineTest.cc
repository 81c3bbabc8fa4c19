#include "yin/Pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "yin/Consumer.h"
#include "yin/ConsumerProducer.h"
#include "yin/Producer.h"
#include "yin/Stage.h"

namespace {

using Item = std::shared_ptr<int>;
using IntChannel = yin::Channel<Item>;
constexpr int kNever = -1;

// Counts up from 0: ends the stream at `limit`, aborts at `abortAt`, stops at `stopAt`.
class Counter : public yin::Producer<Item> {
  public:
    Counter(std::shared_ptr<IntChannel> out, yin::Latch& latch, int limit, int abortAt = kNever)
        : Producer(std::move(out), latch), limit_(limit), abortAt_(abortAt) {}
    void started() override { startedCalled = true; }
    bool isDone() override { return produced == stopAt; }

    std::atomic<bool> startedCalled{false};
    int produced = 0;
    int stopAt = kNever;
    std::shared_future<void> gate;  // produce waits for it when set

  protected:
    void produce(Item& item) override {
        if (gate.valid())
            gate.wait();
        if (produced == abortAt_)
            throw yin::AbortException("counter failed");
        if (produced == limit_)
            throw yin::EndOfStreamException("finished");
        item = std::make_shared<int>(produced++);
    }

  private:
    int limit_, abortAt_;
};

// Doubles every item; a plain error at item `failAt`. Logs to its own network queue.
class Doubler : public yin::RequestThread, public yin::ConsumerProducer<Item> {
  public:
    Doubler(std::shared_ptr<IntChannel> in, std::shared_ptr<IntChannel> out, yin::Latch& latch,
            int failAt = kNever)
        : RequestThread(std::make_shared<logging::NetLogger>()),
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

// Collects items: aborts at the item numbered `abortAt`, stops (isDone) after `stopAfter`.
// Takes them in groups that fill up to the next multiple of `group`, as a stage sending
// batches does.
class Collector : public yin::Consumer<Item> {
  public:
    Collector(std::shared_ptr<IntChannel> in, yin::Latch& latch, int abortAt = kNever)
        : Consumer(std::move(in), latch), abortAt_(abortAt) {}
    bool isDone() override { return static_cast<int>(seen.size()) == stopAfter; }

    std::vector<int> seen;
    int stopAfter = kNever;
    std::size_t group = 1;
    int timeouts = 0;
    std::promise<void> firstTimeout;

  protected:
    void consume(Item item) override {
        if (static_cast<int>(seen.size()) == abortAt_)
            throw yin::AbortException("failed");
        seen.push_back(*item);
    }
    void timeout() override {
        if (++timeouts == 1)
            firstTimeout.set_value();
        Consumer::timeout();
    }
    std::size_t groupSize() override { return group - seen.size() % group; }

  private:
    int abortAt_;
};

// counter → [doubler →] collector, built in one pipeline.
struct Line {
    yin::Pipeline pipeline;
    std::shared_ptr<IntChannel> first = std::make_shared<IntChannel>();
    std::shared_ptr<IntChannel> second = std::make_shared<IntChannel>();
    Counter& counter;
    Doubler* doubler = nullptr;
    Collector& collector;

    Line(int limit, bool withDoubler, int counterAbortAt = kNever, int failAt = kNever,
         int collectorAbortAt = kNever, std::size_t group = 1)
        : counter(pipeline.emplace<Counter>(first, pipeline.latch(), limit, counterAbortAt)),
          collector(pipeline.emplace<Collector>(withDoubler ? second : first, pipeline.latch(),
                                                collectorAbortAt)) {
        if (withDoubler)
            doubler = &pipeline.emplace<Doubler>(first, second, pipeline.latch(), failAt);
        collector.group = group;
    }
    void startAll() {
        pipeline.start(counter);
        if (doubler != nullptr)
            pipeline.start(*doubler);
        pipeline.start(collector);
    }
    void run() {
        startAll();
        pipeline.run();
    }
};

// Groups of 7 leave a short one at the end of 5000 items.
constexpr std::size_t kGroups[] = {1, 7};

TEST(PipelineTest, StreamEndsThroughEveryStageInOrder) {
    for (std::size_t group : kGroups) {
        SCOPED_TRACE("group " + std::to_string(group));
        Line line(5000, true, kNever, kNever, kNever, group);
        line.run();
        ASSERT_EQ(5000u, line.collector.seen.size());
        for (int i = 0; i < 5000; ++i)
            ASSERT_EQ(2 * i, line.collector.seen[i]);
        EXPECT_TRUE(line.counter.reachedEnd() && line.doubler->reachedEnd() &&
                    line.collector.reachedEnd());
    }
}

TEST(PipelineTest, NothingRunsBeforeTheLatchOpensAndAnAbandonedBuildEnds) {
    Line line(3, false);
    line.startAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(line.counter.startedCalled.load());
    EXPECT_EQ(0u, line.first->size());
    // The builder gives up here: destroying the pipeline must not wait for ever.
}

TEST(PipelineTest, AbortTravelsUpstreamAndDownstream) {
    for (std::size_t group : kGroups) {
        Line fromConsumer(kNever, true, kNever, kNever, 5, group);
        fromConsumer.run();
        EXPECT_EQ(5u, fromConsumer.collector.seen.size());
        EXPECT_TRUE(fromConsumer.counter.aborting() && fromConsumer.doubler->aborting());
    }

    Line fromProducer(kNever, true, 10);
    fromProducer.run();
    EXPECT_TRUE(fromProducer.collector.aborting());
    EXPECT_FALSE(fromProducer.collector.reachedEnd());
}

TEST(PipelineTest, PlainErrorIsLoggedAndNeverLooksLikeTheEnd) {
    Line line(kNever, true, kNever, 3);
    line.run();
    EXPECT_FALSE(line.collector.reachedEnd());
    EXPECT_TRUE(line.counter.aborting());
    std::string log;
    line.doubler->netLogger()->drainInto(log);
    EXPECT_NE(std::string::npos, log.find("Caught exception in consumerProducer: boom"));
}

TEST(PipelineTest, StagesThatStopThemselvesEndTheirNeighbours) {
    for (std::size_t group : kGroups) {
        // A stage that stops half-way through a group uses nothing after the item it
        // stopped at.
        Line consumerStops(kNever, false, kNever, kNever, kNever, group);
        consumerStops.collector.stopAfter = 3;
        consumerStops.run();  // the endless producer is released by the abandoned input
        EXPECT_EQ(3u, consumerStops.collector.seen.size());
    }

    Line producerStops(kNever, false);
    producerStops.counter.stopAt = 4;
    producerStops.run();
    EXPECT_EQ(4u, producerStops.collector.seen.size());
    EXPECT_TRUE(producerStops.collector.reachedEnd());
}

TEST(PipelineTest, TimeoutKeepsTheConsumerRunning) {
    // A group taker too times out when nothing comes, and still gets the short group the
    // stream ends with.
    for (std::size_t group : kGroups) {
        Line line(3, false, kNever, kNever, kNever, group);
        line.counter.gate = line.collector.firstTimeout.get_future().share();
        line.collector.setTimeout(1);
        line.run();
        EXPECT_EQ(1, line.collector.timeouts);
        EXPECT_EQ(3u, line.collector.seen.size());
        EXPECT_TRUE(line.collector.reachedEnd());
    }
}

}  // namespace
