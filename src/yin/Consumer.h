// A stage that takes items from its input channel and uses them. A consumer may arm an
// absolute deadline: when nothing arrives before it, timeout() is called and the consumer
// goes on waiting. The deadline is not re-armed by a take; timeout() re-arms it with
// setTimeout() if the stage wants to be woken again (the base disarms it, so a consumer
// never spins on a deadline that has passed).
//
// A consumer that handles items in groups says how many it wants next (groupSize()): it
// then sleeps until that many are queued, the stream ends or the deadline passes, and
// consumes what it got one by one, instead of waking for every item.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "yin/Channel.h"
#include "yin/Stage.h"

namespace yin {

template <typename T, typename ChannelT = Channel<T>>
class Consumer : public Stage {
  public:
    Consumer(std::shared_ptr<ChannelT> input, Latch& latch)
        : Stage(latch, {"Caught exception in consumer: ",
                        "Caught unknown exception in Consumer::consume"}),
          input_(std::make_shared<Takable<T, ChannelT>>(std::move(input))) {}

    void close(bool b) override {
        closing_ = b;
        input_->channel->close(b);
    }
    void abort(bool b) override {
        aborting_ = b;
        input_->channel->abort(b);
    }

    // Arms the deadline ms milliseconds from now.
    virtual void setTimeout(int ms) { deadline_ = Clock::now() + std::chrono::milliseconds(ms); }
    const Deadline& deadline() const { return deadline_; }

  protected:
    // Uses one item; the base drops it.
    virtual void consume(T item) { (void)item; }
    // Nothing arrived before the deadline.
    virtual void timeout() { deadline_.reset(); }
    // Items to wait for before the next ones are handed over; the base takes one at a time.
    virtual std::size_t groupSize() { return 1; }

  private:
    void step() final {
        std::size_t wanted = groupSize();
        if (wanted <= 1) {
            T item{};
            try {
                input_->take(item, deadline_);
            } catch (const TimeoutException&) {
                timeout();
                return;
            }
            consume(std::move(item));
            return;
        }
        try {
            input_->channel->takeSome(taken_, wanted, wanted, deadline_);
        } catch (const TimeoutException&) {
            timeout();
            return;
        }
        // Whatever is left of the group when a consume throws, or the stage decides it is
        // done, is dropped with it, as it would have been left in the channel.
        struct Drop {
            std::vector<T>& items;
            ~Drop() { items.clear(); }
        } drop{taken_};
        for (T& item : taken_) {
            if (closing_ && isDone())
                return;
            consume(std::move(item));
        }
    }
    void abandonInput() final { input_->channel->abort(true); }

    std::shared_ptr<Takable<T, ChannelT>> input_;
    Deadline deadline_;
    std::vector<T> taken_;
};

}  // namespace yin
