// Private to the window layer: marks the event dispatch so that an exit asked
// for inside a handler waits until the dispatch is over.
#pragma once

namespace velmar {

void beginEventDispatch();
// Ends the process when a handler asked for it during the dispatch.
void endEventDispatch();

}  // namespace velmar
