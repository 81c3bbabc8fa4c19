// A middle stage: takes an item from its input, turns it into an output item and puts
// that on its output. Its takes never time out. Closing or aborting it acts on both
// channels.
#pragma once

#include <memory>
#include <utility>

#include "yin/Channel.h"
#include "yin/Stage.h"

namespace yin {

template <typename T, typename ChannelT = Channel<T>>
class ConsumerProducer : public Stage {
  public:
    ConsumerProducer(std::shared_ptr<ChannelT> input, std::shared_ptr<ChannelT> output,
                     Latch& latch)
        : Stage(latch, {"Caught exception in consumerProducer: ",
                        "Caught unknown exception in ConsumerProducer::consumeProduce"}),
          input_(std::make_shared<Takable<T, ChannelT>>(std::move(input))),
          output_(std::make_shared<Puttable<T, ChannelT>>(std::move(output))) {}

    void close(bool b) override {
        closing_ = b;
        input_->channel->close(b);
        output_->channel->close(b);
    }
    void abort(bool b) override {
        aborting_ = b;
        input_->channel->abort(b);
        output_->channel->abort(b);
    }

  protected:
    // Turns input into output; the base passes the item through unchanged.
    virtual void consumeProduce(T& output, T& input) { output = std::move(input); }

  private:
    void step() final {
        T input{};
        input_->take(input, std::nullopt);
        T output{};
        consumeProduce(output, input);
        output_->put(std::move(output));
    }
    void abandonInput() final { input_->channel->abort(true); }

    std::shared_ptr<Takable<T, ChannelT>> input_;
    std::shared_ptr<Puttable<T, ChannelT>> output_;
};

}  // namespace yin
