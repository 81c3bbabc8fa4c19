// A stage that makes items and puts them on its output channel. produce() throws
// pc_exception when it has nothing more; the body then closes the output, so the next
// stage drains it and sees the end.
#pragma once

#include <memory>
#include <utility>

#include "yin/ChannelEnds.h"
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
    // Makes the next item, or throws pc_exception at the end of the stream.
    virtual void produce(T& item) = 0;

  private:
    void step() final {
        T item{};
        produce(item);
        output_->put(std::move(item));
    }

    std::shared_ptr<Puttable<T, ChannelT>> output_;
};

}  // namespace yin
