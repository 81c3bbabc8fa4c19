// What the run function must undo when it ends, gathered as each start-up step succeeds:
// a step that never ran leaves nothing to undo, and the undoing goes newest first.
#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace agent {

class CleanupStack {
  public:
    CleanupStack() = default;
    CleanupStack(const CleanupStack&) = delete;
    CleanupStack& operator=(const CleanupStack&) = delete;
    // Whatever was not undone explicitly is undone when the stack goes.
    ~CleanupStack() { runAll(); }

    void push(std::function<void()> undo) { steps_.push_back(std::move(undo)); }

    // Undoes every step, newest first; each runs once.
    void runAll() {
        while (!steps_.empty()) {
            auto undo = std::move(steps_.back());
            steps_.pop_back();
            undo();
        }
    }

  private:
    std::vector<std::function<void()>> steps_;
};

}  // namespace agent
