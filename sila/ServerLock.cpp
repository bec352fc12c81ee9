#include "sila/ServerLock.h"

#include "LockController.pb.h"
#include "sila/SilaError.h"

namespace lc = sila2::org::silastandard::core::lockcontroller::v1;

bool ServerLock::expired(Clock::time_point now) const {
    return identifier_ && timeout_.count() > 0 && now - last_use_ > timeout_;
}

bool ServerLock::lock(const std::string& identifier, std::int64_t timeout_s) {
    std::lock_guard<std::mutex> hold(guard_);
    const Clock::time_point now = Clock::now();
    if (identifier_ && !expired(now)) return false;
    identifier_ = identifier;
    timeout_ = std::chrono::seconds(timeout_s);
    last_use_ = now;
    return true;
}

ServerLock::Unlock ServerLock::unlock(const std::string& identifier) {
    std::lock_guard<std::mutex> hold(guard_);
    if (!identifier_ || expired(Clock::now())) {
        identifier_.reset();
        return Unlock::not_locked;
    }
    if (*identifier_ != identifier) return Unlock::wrong_identifier;
    identifier_.reset();
    return Unlock::unlocked;
}

bool ServerLock::is_locked() {
    std::lock_guard<std::mutex> hold(guard_);
    if (expired(Clock::now())) identifier_.reset();
    return identifier_.has_value();
}

std::optional<grpc::Status> ServerLock::check(const grpc::ServerContext& context) {
    std::lock_guard<std::mutex> hold(guard_);
    const Clock::time_point now = Clock::now();
    if (expired(now)) identifier_.reset();
    if (!identifier_) return std::nullopt;
    const auto& headers = context.client_metadata();
    const auto it = headers.find(HEADER);
    if (it == headers.end())
        return SilaError::framework(
            SilaError::Framework::invalid_metadata,
            std::string("The server is locked: send the lock identifier as the metadata ") +
                METADATA_FQI + ".");
    lc::Metadata_LockIdentifier given;
    if (!given.ParseFromArray(it->second.data(), static_cast<int>(it->second.size())) ||
        !given.has_lockidentifier())
        return SilaError::framework(
            SilaError::Framework::invalid_metadata,
            std::string("The metadata ") + METADATA_FQI +
                " cannot be read as a Metadata_LockIdentifier message holding a String.");
    if (given.lockidentifier().value() != *identifier_)
        return SilaError::defined(
            INVALID_IDENTIFIER_FQI,
            "The lock identifier given is not the one the server is locked with.");
    last_use_ = now;
    return std::nullopt;
}
