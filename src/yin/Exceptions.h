// The three exceptions that travel through a pipeline. They carry only their message and
// never leave a stage's thread: the stage bodies catch them.
#pragma once

#include <stdexcept>
#include <string>

namespace yin {

// The end of the stream: a producer has nothing more, or a closed channel is drained.
class EndOfStreamException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A take passed its deadline while the channel stayed empty.
class TimeoutException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The pipeline is being torn down: a stage failed, or the pipeline never started.
class AbortException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace yin
