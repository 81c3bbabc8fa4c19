// Builds, starts and tears down one pipeline. The pipeline owns its stages, its start
// latch and its threads:
//
//   yin::Pipeline pipeline;
//   auto& reader = pipeline.emplace<Reader>(channel1, pipeline.latch(), ...);
//   auto& writer = pipeline.emplace<Writer>(channel1, pipeline.latch(), ...);
//   pipeline.start(reader);
//   pipeline.start(writer);
//   pipeline.run();            // opens the latch, joins every stage
//   ... inspect the stages' flags ...
//
// If the builder fails between emplace and run (a constructor or a start throws), the
// destructor cancels the latch, so the stages already started end at once instead of
// waiting for a start that never comes, and joins them before any stage is destroyed.
// Threads are never detached. Not thread-safe: one builder thread uses it.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "runtime/ThreadGroup.h"
#include "yin/Stage.h"

namespace yin {

class Pipeline {
  public:
    Pipeline() = default;
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    ~Pipeline();

    Latch& latch() { return latch_; }

    // Constructs a stage owned by the pipeline; it lives until the pipeline is destroyed,
    // after its thread has been joined.
    template <typename StageT, typename... Args>
    StageT& emplace(Args&&... args) {
        auto stage = std::make_unique<StageT>(std::forward<Args>(args)...);
        StageT& result = *stage;
        stages_.push_back(std::move(stage));
        return result;
    }

    // Starts a stage's thread; it waits for the latch. The stage must be one this
    // pipeline owns (or otherwise outlive the pipeline).
    void start(Stage& stage);

    // Opens the latch and joins every started stage.
    void run();

  private:
    Latch latch_;
    std::vector<std::unique_ptr<Stage>> stages_;
    runtime::ThreadGroup threads_;
};

}  // namespace yin
