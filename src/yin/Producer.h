// A stage that makes items and puts them on its output channel. produce() throws
// EndOfStreamException when it has nothing more; the body then closes the output, so the next
// stage drains it and sees the end.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "yin/Channel.h"
#include "yin/Stage.h"

namespace yin {

template <typename T, typename ChannelT = Channel<T>>
class Producer : public Stage {
  public:
    Producer(std::shared_ptr<ChannelT> output, Latch& latch)
        : Stage(latch, {"Caught exception in producer: ",
                        "Caught unknown exception in Producer::produce"}),
          output_(std::make_shared<Puttable<T, ChannelT>>(std::move(output))) {}

    void close(bool b) override {
        closing_ = b;
        output_->channel->close(b);
    }
    void abort(bool b) override {
        aborting_ = b;
        output_->channel->abort(b);
    }

  protected:
    // Makes the next item, or throws EndOfStreamException at the end of the stream.
    virtual void produce(T& item) = 0;
    // Appends the next items to the empty items, or throws EndOfStreamException at the end of the
    // stream; they are put on the output together. A stage that makes items in groups (a
    // read or a received batch) hands on a group at once; the default makes one.
    virtual void produceSome(std::vector<T>& items) {
        T item{};
        produce(item);
        items.push_back(std::move(item));
    }

  private:
    void step() final {
        produceSome(made_);
        if (made_.size() == 1) {
            T item = std::move(made_.front());
            made_.clear();
            output_->put(std::move(item));
            return;
        }
        output_->channel->putAll(made_);
    }

    std::shared_ptr<Puttable<T, ChannelT>> output_;
    std::vector<T> made_;
};

}  // namespace yin
