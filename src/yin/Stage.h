// The life of one pipeline stage on its own thread; Producer, Consumer and
// ConsumerProducer fill in how one item is handled. Beside it: the latch every stage waits
// at before it starts, and the base that gives a stage working for a request its
// connection's network logger.
//
// The thread body (operator()) waits for the start latch, calls started(), then handles
// one item after another until closing is set and isDone() returns true, or until an
// exception ends the loop. Nothing escapes the body:
//   - EndOfStreamException (end of stream) ends the stage cleanly; reachedEnd() becomes true.
//   - AbortException aborts the stage's channels, so the abort travels on up- and
//     downstream until every stage has ended.
//   - any other exception is logged at ERROR and aborts the stage's channels as well: an
//     error must not look like a complete stream to the stages after it.
//   - isDone() returning true stops the stage by its own decision; a stage that takes
//     items and stops before its input ended aborts that input, so the stage before it
//     can never block for ever on a full channel.
// In every case done() runs and then close(true) closes the stage's channels. A stage
// whose latch is cancelled aborts its channels and ends without started() or done().
//
// The flags are written only by the stage's own thread; read them after joining it.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "logging/NetLogger.h"

namespace yin {

// The start gate of a pipeline: every stage waits here until the builder opens it, so
// all stages begin together and none touches a channel before the pipeline is complete.
// A builder that fails half-way cancels the latch instead, and the waiting stages end
// without running. Thread-safe.
class Latch {
  public:
    Latch() = default;
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;

    // Blocks until the latch is opened or cancelled; true when it was opened.
    bool wait();
    void open();
    // Releases every waiter without starting anything; a later open() changes nothing.
    void cancel();
    bool isOpen() const;

  private:
    mutable std::mutex mutex_;  // guards open_ and cancelled_
    std::condition_variable changed_;
    bool open_ = false;
    bool cancelled_ = false;
};

class Stage {
  public:
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;
    virtual ~Stage() = default;

    // The thread body. Never throws.
    void operator()() noexcept;

    // Sets the closing flag and closes (b true) the stage's channels.
    virtual void close(bool b) = 0;
    // Sets the aborting flag and aborts (b true) the stage's channels.
    virtual void abort(bool b) = 0;

    // Stages usually return their failed flag; the base never stops.
    virtual bool isDone() { return false; }
    virtual void started() {}
    virtual void done() {}

    // True when the stage ended because its stream ended (not aborted, failed or stopped).
    bool reachedEnd() const { return reachedEnd_; }
    bool closing() const { return closing_; }
    bool aborting() const { return aborting_; }

  protected:
    // Texts naming the kind of stage in the error lines.
    struct Names {
        const char* caughtException;  // followed by the exception's message
        const char* caughtUnknown;
    };
    Stage(Latch& latch, Names names) : latch_(&latch), names_(names) {}

    // Handles one item; throws to end the loop.
    virtual void step() = 0;
    // Called when the stage stops before its input ended; stages that take items abort
    // their input here.
    virtual void abandonInput() {}

    bool closing_ = true;
    bool aborting_ = false;

  private:
    enum class Ending { kEndOfStream, kStopped, kAborted };
    Ending runLoop() noexcept;
    void finish(Ending ending) noexcept;

    Latch* latch_;
    Names names_;
    bool reachedEnd_ = false;
};

// The first base of every pipeline stage that works for a request: it keeps the
// connection's network logger, so that lines the stage logs on its own thread reach the
// connection's log as well as the local sinks.
class RequestThread {
  public:
    // netLogger may be empty (no connection): the stage then logs locally only.
    explicit RequestThread(std::shared_ptr<logging::NetLogger> netLogger)
        : netLogger_(std::move(netLogger)) {}
    virtual ~RequestThread() = default;

    // Makes the network logger the calling thread's current one; stages call this from
    // their started() hook.
    void installNetLogger() const;

    const std::shared_ptr<logging::NetLogger>& netLogger() const { return netLogger_; }

  private:
    std::shared_ptr<logging::NetLogger> netLogger_;
};

}  // namespace yin
