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

// Runs body; on an error logs, sets failed, calls onFailure (when given) and throws
// abort_exception.
template <typename Body>
void guardStage(const FailureTexts& texts, bool& failed, Body&& body,
                const std::function<void()>& onFailure = {}) {
    try {
        body();
        return;
    } catch (const pc_exception&) {
        throw;
    } catch (const abort_exception&) {
        throw;
    } catch (const std::exception& error) {
        logging::logError() << texts.failed << error.what();
    } catch (...) {
        logging::logError() << texts.unknown;
    }
    failed = true;
    if (onFailure)
        onFailure();
    throw abort_exception(texts.failed);
}

}  // namespace yin
