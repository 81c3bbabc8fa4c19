// Several workers on one stage: the stream after them is the stream one worker would make,
// and a failure or a stop still ends every stage.
#include "yin/OrderedWorkers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "yin/Consumer.h"
#include "yin/Pipeline.h"
#include "yin/Producer.h"

namespace {

using IntChannel = yin::Channel<int>;
constexpr int kNever = -1;

class Numbers : public yin::Producer<int> {
  public:
    Numbers(std::shared_ptr<IntChannel> out, yin::Latch& latch, int limit)
        : Producer(std::move(out), latch), limit_(limit) {}
    int produced = 0;

  protected:
    void produce(int& item) override {
        if (produced == limit_)
            throw yin::EndOfStreamException("finished");
        item = produced++;
    }

  private:
    int limit_;
};

// Triples each item, some slowly, so later items often finish first; fails at failAt.
class Tripler : public yin::OrderedWorker<int> {
  public:
    Tripler(std::shared_ptr<yin::WorkerGroup<int>> group, yin::Latch& latch, int failAt)
        : OrderedWorker(std::move(group), latch), failAt_(failAt) {}

  protected:
    void transform(int& item) override {
        if (item == failAt_)
            throw std::runtime_error("worker failed");
        if (item % 7 == 3)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        item *= 3;
    }

  private:
    int failAt_;
};

class Gatherer : public yin::Consumer<int> {
  public:
    Gatherer(std::shared_ptr<IntChannel> in, yin::Latch& latch, std::size_t stopAfter)
        : Consumer(std::move(in), latch), stopAfter_(stopAfter) {}
    bool isDone() override { return seen.size() == stopAfter_; }
    std::vector<int> seen;

  protected:
    void consume(int item) override { seen.push_back(item); }

  private:
    std::size_t stopAfter_;
};

struct Outcome {
    bool producerEnded = false;
    std::vector<bool> workersEnded;
    bool gathererEnded = false;
    std::vector<int> seen;
};

Outcome runWorkers(int items, std::size_t workers, std::size_t window, int failAt = kNever,
                   std::size_t stopAfter = ~std::size_t{0}, std::size_t outCapacity = 8) {
    auto in = std::make_shared<IntChannel>(8);
    auto out = std::make_shared<IntChannel>(outCapacity);
    auto group = std::make_shared<yin::WorkerGroup<int>>(in, out, workers, window);
    yin::Pipeline pipeline;
    auto& numbers = pipeline.emplace<Numbers>(in, pipeline.latch(), items);
    std::vector<Tripler*> triplers;
    for (std::size_t i = 0; i < workers; ++i)
        triplers.push_back(&pipeline.emplace<Tripler>(group, pipeline.latch(), failAt));
    auto& gatherer = pipeline.emplace<Gatherer>(out, pipeline.latch(), stopAfter);
    pipeline.start(numbers);
    for (Tripler* tripler : triplers)
        pipeline.start(*tripler);
    pipeline.start(gatherer);
    pipeline.run();
    Outcome run{numbers.reachedEnd(), {}, gatherer.reachedEnd(), gatherer.seen};
    for (Tripler* tripler : triplers)
        run.workersEnded.push_back(tripler->reachedEnd());
    return run;
}

std::vector<int> tripled(int count) {
    std::vector<int> values;
    for (int i = 0; i < count; ++i)
        values.push_back(i * 3);
    return values;
}

// Windows of 1 and 3 make groups of one item; 64 makes groups as large as a take gets.
// An output of one item keeps the worker that puts waiting while the others finish theirs.
TEST(OrderedWorkersTest, ItemsLeaveInTheOrderTheyCameWhateverTheWorkersTiming) {
    for (std::size_t workers : {1u, 2u, 5u}) {
        for (std::size_t window : {1u, 3u, 64u}) {
            for (std::size_t outCapacity : {1u, 8u}) {
                SCOPED_TRACE(std::to_string(workers) + " workers, window " +
                             std::to_string(window) + ", output " + std::to_string(outCapacity));
                Outcome run =
                    runWorkers(700, workers, window, kNever, ~std::size_t{0}, outCapacity);
                EXPECT_EQ(run.seen, tripled(700));
                EXPECT_TRUE(run.producerEnded && run.gathererEnded);
                EXPECT_EQ(run.workersEnded, std::vector<bool>(workers, true));
            }
        }
    }
    // An empty stream ends every worker too.
    Outcome empty = runWorkers(0, 3, 4);
    EXPECT_TRUE(empty.seen.empty() && empty.gathererEnded);
}

TEST(OrderedWorkersTest, AFailingWorkerEndsEveryStageAndNothingAfterItLeaves) {
    for (std::size_t window : {16u, 256u}) {
        Outcome run = runWorkers(5000, 4, window, 777);
        EXPECT_FALSE(run.gathererEnded);
        EXPECT_FALSE(run.producerEnded);
        // What left before the failure is an unbroken prefix of the stream.
        ASSERT_LE(run.seen.size(), 777u);
        EXPECT_EQ(run.seen, tripled(static_cast<int>(run.seen.size())));
    }
}

// Also while a worker waits to put on a full output and the others wait for their turn.
TEST(OrderedWorkersTest, AStoppingConsumerEndsTheWorkersAndTheProducer) {
    for (std::size_t outCapacity : {1u, 8u}) {
        Outcome run = runWorkers(100000, 3, 64, kNever, 50, outCapacity);
        EXPECT_EQ(run.seen, tripled(50));
        EXPECT_FALSE(run.producerEnded);
        EXPECT_EQ(run.workersEnded, std::vector<bool>(3, false));
    }
}

}  // namespace
