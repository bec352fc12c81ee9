#pragma once
#include <grpcpp/grpcpp.h>
#include <grpcpp/support/sync_stream.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "SiLAFramework.pb.h"

// Every observable command execution of this server by its UUID: its state
// for C_Info, its end for C_Result, its lifetime, and its cancellation. Each
// execution's work runs on a thread of its own, so that it goes on whatever
// becomes of the client that started it.
//
//   std::string uuid = executions.start(COMMAND_FQI, [&](ExecutionRegistry::Progress& p) {
//       p.running(0.0);
//       ...   // p.cancelled() says when to give up
//       return ExecutionRegistry::Outcome{grpc::Status::OK, "SampleSeen"};
//   });
//   executions.confirm(uuid, response);              // the initiation's answer
//   return executions.stream_info(context, request, COMMAND_FQI, writer);
class ExecutionRegistry {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Status { waiting, running, succeeded, failed };
    enum class Cancel { cancelled, unknown, ended };

    // How the work ended: OK with the response's text (a sip's outcome), or
    // the SiLA error C_Result answers with.
    struct Outcome {
        grpc::Status error = grpc::Status::OK;
        std::string value;
    };

    // What the work tells of itself, and asks.
    class Progress {
      public:
        // progress 0.0 ... 1.0. The remaining time is estimated from the
        // last successful run of the same command, when there was one.
        void running(double progress);
        bool cancelled() const;

      private:
        friend class ExecutionRegistry;
        Progress(ExecutionRegistry& registry, std::string uuid)
            : registry_(registry), uuid_(std::move(uuid)) {}
        ExecutionRegistry& registry_;
        std::string uuid_;
    };

    using Work = std::function<Outcome(Progress&)>;

    // `on_cancel` stops what runs on the sipper; called without the registry's lock.
    explicit ExecutionRegistry(std::function<void()> on_cancel);
    ~ExecutionRegistry();
    ExecutionRegistry(const ExecutionRegistry&) = delete;
    ExecutionRegistry& operator=(const ExecutionRegistry&) = delete;

    std::string start(const std::string& command_fqi, Work work);
    void confirm(const std::string& uuid, sila2::org::silastandard::CommandConfirmation* reply);

    // C_Info: the current state at once, then every change, until the end.
    grpc::Status stream_info(grpc::ServerContext* context,
                             const sila2::org::silastandard::CommandExecutionUUID& uuid,
                             const std::string& command_fqi,
                             grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer);
    // C_Result: the work's outcome, or the framework error for an unknown
    // UUID or an execution not finished.
    grpc::Status result(const sila2::org::silastandard::CommandExecutionUUID& uuid,
                        const std::string& command_fqi, std::string& value);

    Cancel cancel(const std::string& uuid);
    void cancel_all();

    // How long a UUID stays valid after the execution's last change.
    static constexpr std::chrono::minutes LIFETIME{30};
    static constexpr const char* CANCELLED_TEXT =
        "The command was cancelled through the CancelController";

  private:
    struct Execution {
        std::string command_fqi;
        Status status = Status::waiting;
        double progress = 0.0;
        std::optional<Clock::time_point> started;
        std::optional<Clock::time_point> estimated_end;
        Clock::time_point expiry;
        std::uint64_t version = 0;
        bool cancelled = false;
        Outcome outcome;
        std::thread worker;
        bool worker_done = false;
    };
    using ExecutionPtr = std::shared_ptr<Execution>;

    ExecutionPtr find(const std::string& uuid, const std::string& command_fqi);
    void changed(Execution& e);
    void finish(const std::string& uuid, Outcome outcome);
    void reap(std::unique_lock<std::mutex>& hold);
    sila2::org::silastandard::ExecutionInfo info_of(const Execution& e) const;

    std::function<void()> on_cancel_;
    std::mutex guard_;
    std::condition_variable changed_;
    std::map<std::string, ExecutionPtr> executions_;
    // How long the last successful run of each command took.
    std::map<std::string, Clock::duration> last_duration_;
    bool stopping_ = false;
};
