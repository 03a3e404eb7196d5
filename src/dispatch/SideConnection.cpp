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

MessageStore& SideConnection::store() {
    if (!store_) {
        store_ = makeStore_();
        try {
            store_->open(DataSourceSettings{config_.dsnName, config_.dsnDbUser,
                                            config_.dsnDbPassword, config_.fileDsnPath()});
        } catch (const KorvaneError&) {
            store_.reset();
            throw;
        }
        if (!store_->isOpen()) {
            store_.reset();
            throw KorvaneError(ErrorNumber::ProviderError,
                               QStringLiteral("Connection is not opened, Please verify DSN Name."));
        }
    }
    return *store_;
}

void SideConnection::idle(const std::function<bool()>& busy) {
    busy_ = busy;
    idle_.start(kIdleCloseMs);
}

}  // namespace korvane
