// The client's spine: the fixed start-up sequence, the shutdown handler that
// destroys every engine object in reverse dependency order, and (once the
// window exists) the main loop. Runs on the main thread; never returns.
#pragma once

namespace velmar {

[[noreturn]] void runClient();

// Registered as the first exit handler; safe at any point of the start-up:
// objects never created are skipped.
void shutdownHandler();

}  // namespace velmar
