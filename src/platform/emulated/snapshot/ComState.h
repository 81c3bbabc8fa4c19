// The emulated host's COM state, for the emulated snapshot service.
#pragma once

namespace platform::emulated {

// Whether coInitializeEx succeeded on the calling thread and was not undone.
bool comInitializedOnThisThread();

}  // namespace platform::emulated
