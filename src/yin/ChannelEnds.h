// The two ends of a channel as a stage holds them. An end keeps its channel alive, so a
// stage never outlives the queue it uses. Every exception from the channel passes
// through unchanged.
#pragma once

#include <memory>

#include "yin/Channel.h"

namespace yin {

template <typename T, typename ChannelT = Channel<T>>
struct Puttable {
    explicit Puttable(std::shared_ptr<ChannelT> channel) : channel(std::move(channel)) {}
    virtual ~Puttable() = default;
    virtual bool put(T item) { return channel->put(std::move(item)); }

    std::shared_ptr<ChannelT> channel;
};

template <typename T, typename ChannelT = Channel<T>>
struct Takable {
    explicit Takable(std::shared_ptr<ChannelT> channel) : channel(std::move(channel)) {}
    virtual ~Takable() = default;
    virtual void take(T& out, const Deadline& deadline) { channel->take(out, deadline); }

    std::shared_ptr<ChannelT> channel;
};

}  // namespace yin
