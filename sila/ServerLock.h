#pragma once
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// The LockController's lock: one key at a time, ended by its holder or after
// its timeout without a call that carried it. A protected call made while
// the server is locked must carry the key as SiLA metadata.
//
//   if (std::optional<grpc::Status> refused = lock.check(*context)) return *refused;
class ServerLock {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Unlock { unlocked, not_locked, wrong_identifier };

    static constexpr const char* METADATA_FQI =
        "org.silastandard/core/LockController/v1/Metadata/LockIdentifier";
    static constexpr const char* HEADER =
        "sila-org.silastandard-core-lockcontroller-v1-metadata-lockidentifier-bin";
    static constexpr const char* INVALID_IDENTIFIER_FQI =
        "org.silastandard/core/LockController/v1/DefinedExecutionError/InvalidLockIdentifier";

    // False when the server is locked already. A timeout of 0 never expires.
    bool lock(const std::string& identifier, std::int64_t timeout_s);
    Unlock unlock(const std::string& identifier);
    bool is_locked();

    // Nothing when a protected call may go on (unlocked, or the right key,
    // which also restarts the timeout); otherwise the error to answer with.
    std::optional<grpc::Status> check(const grpc::ServerContext& context);

  private:
    bool expired(Clock::time_point now) const;

    std::mutex guard_;
    std::optional<std::string> identifier_;
    std::chrono::seconds timeout_{0};
    Clock::time_point last_use_{};
};
