#include "dispatch/SideConnection.h"

#include "core/RunConfiguration.h"

namespace korvane {

SideConnection::SideConnection(const RunConfiguration& config, StoreFactory makeStore)
    : config_(config), makeStore_(std::move(makeStore)) {
    idle_.setSingleShot(true);
    idle_.callOnTimeout([this] {
        if (!busy_ || !busy_()) {
            store_.reset();
        }
    });
}

QCoro::Task<CycleStore*> SideConnection::store() {
    if (!store_) {
        store_ = makeStore_();
        bool open = false;
        try {
            DataSourceSettings source{config_.dsnName, config_.dsnDbUser, config_.dsnDbPassword,
                                      config_.fileDsnPath()};
            co_await store_->open(std::move(source));
            open = co_await store_->isOpen();
        } catch (const KorvaneError&) {
            store_.reset();
            throw;
        }
        if (!open) {
            store_.reset();
            throw KorvaneError(ErrorNumber::ProviderError,
                               QStringLiteral("Connection is not opened, Please verify DSN Name."));
        }
    }
    co_return store_.get();
}

void SideConnection::idle(const std::function<bool()>& busy) {
    busy_ = busy;
    idle_.start(kIdleCloseMs);
}

}  // namespace korvane
