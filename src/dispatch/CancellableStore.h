#pragma once

#include "dispatch/MessageStore.h"

namespace korvane {

// A store whose running statement can be cancelled from another thread: what BackgroundStore
// runs on its database thread.
class CancellableStore : public MessageStore {
public:
    // Cancels the statement running now, if any. Called on a thread of its own: it may wait on
    // the network, and must never hold up the thread that runs the statements.
    virtual void cancel() = 0;
};

}  // namespace korvane
