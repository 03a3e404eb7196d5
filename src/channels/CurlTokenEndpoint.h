#pragma once

#include <atomic>
#include <memory>

#include "channels/TokenEndpoint.h"

namespace korvane {

class StopDeadline;

// Asks an OAuth 2.0 token endpoint over HTTPS with libcurl, on a thread of its own, while the
// window's thread goes on. The client secret goes only over TLS (plain HTTP
// only to this machine); certificates are verified against the system's store or the
// request's own CA file; no redirect is followed and the answer is read to 64 KiB at most.
class CurlTokenEndpoint : public TokenEndpoint {
public:
    explicit CurlTokenEndpoint(const StopDeadline* stop = nullptr) : stop_(stop) {}
    QCoro::Task<TokenAnswer> request(const TokenRequest& request) override;
    // Requests sent so far.
    unsigned long requests() const { return requests_; }

private:
    const StopDeadline* stop_;
    std::atomic<unsigned long> requests_{0};
    // The owner of the waits for the exchange: once the endpoint is gone none resumes into it.
    std::shared_ptr<const void> life_ = std::make_shared<int>(0);
};

}  // namespace korvane
