#pragma once

#include <memory>

#include "dispatch/CycleStore.h"

namespace korvane::test {

// A store that answers at once, on this thread: a fake table as the cycle's store.
class InlineStore : public CycleStore {
public:
    explicit InlineStore(std::unique_ptr<MessageStore> store) : store_(std::move(store)) {}

protected:
    QCoro::Task<> run(Work work, size_t) override {
        work(*store_);
        co_return;
    }

private:
    std::unique_ptr<MessageStore> store_;
};

template <typename Store, typename... Args>
std::unique_ptr<CycleStore> inlineStore(Args&&... args) {
    return std::make_unique<InlineStore>(std::make_unique<Store>(std::forward<Args>(args)...));
}

}  // namespace korvane::test
