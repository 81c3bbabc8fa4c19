// What every stage of the block pipelines does with an error while handling one item:
// log it once at ERROR with the stage's own words, mark the stage failed, and abort the
// pipeline. The end of the stream and an abort coming from elsewhere pass through
// untouched (they are not this stage's failure).
#pragma once

#include <exception>
#include <functional>

#include "logging/Logger.h"
#include "yin/Exceptions.h"

namespace yin {

struct FailureTexts {
    const char* failed;   // followed by the exception's message
    const char* unknown;  // an exception of no known type
};

// Logs error (null: of no known type) in the stage's words and marks the stage failed; for
// failures met outside an item's handling, where the stage decides itself how to go on.
inline void recordFailure(const FailureTexts& texts, bool& failed, const std::exception* error) {
    if (error != nullptr)
        logging::logError() << texts.failed << error->what();
    else
        logging::logError() << texts.unknown;
    failed = true;
}

// Runs body; on an error logs, sets failed, calls onFailure (when given) and throws
// AbortException. When interrupted answers true, the error is the echo of another stage's
// failure, which has told its story already: the abort comes without a log line, and the
// stage is not marked failed.
template <typename Body>
void guardStage(const FailureTexts& texts, bool& failed, Body&& body,
                const std::function<void()>& onFailure = {},
                const std::function<bool()>& interrupted = {}) {
    auto fail = [&](const std::exception* error) {
        if (!interrupted || !interrupted()) {
            recordFailure(texts, failed, error);
            if (onFailure)
                onFailure();
        }
        throw AbortException(texts.failed);
    };
    try {
        body();
    } catch (const EndOfStreamException&) {
        throw;
    } catch (const AbortException&) {
        throw;
    } catch (const std::exception& error) {
        fail(&error);
    } catch (...) {
        fail(nullptr);
    }
}

}  // namespace yin
