#pragma once
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "remote/CommandTracker.h"
#include "sila/ExecutionRegistry.h"
#include "sila/SilaError.h"
#include "sila/SipperGateway.h"

// What the sipper's own features share: the tracker's records as SiLA
// errors of the feature, an operation carried out for an observable command,
// and the subscription loop of an observable property.
class FeatureSupport {
  public:
    // The defined error of the feature a record that did not succeed stands
    // for, with the sipper's text as its message.
    static grpc::Status error_of(const std::string& feature_fqi, const CommandTracker::Record& r);
    static grpc::Status not_answering(const std::string& feature_fqi, const std::string& text);

    // Sends the operation and follows it to its end (or the cancellation);
    // the execution is running, at start_fraction, once the sipper took it.
    static ExecutionRegistry::Outcome run(SipperGateway& gateway,
                                          ExecutionRegistry::Progress& progress,
                                          const std::string& feature_fqi,
                                          const CommandTracker::Operation& op,
                                          CommandTracker::Record* record = nullptr,
                                          double start_fraction = 0.0);

    // A sip's outcome as the Outcome response names it.
    static std::string sip_outcome(const std::string& tracker_outcome);

    // Sends the property at once and then on every change of its value,
    // until the client cancels or the server stops; a sipper that does not
    // answer ends the subscription with SipperNotAnswering.
    template <class Response, class Fill>
    static grpc::Status subscribe(grpc::ServerContext* context, SipperGateway& gateway,
                                  const std::string& feature_fqi,
                                  grpc::ServerWriter<Response>* writer, Fill fill) {
        // Counted while open: the gateway then watches the sipper closely.
        struct Counted {
            StatusBoard& board;
            explicit Counted(StatusBoard& b) : board(b) { board.subscribe(); }
            ~Counted() { board.unsubscribe(); }
        } counted(gateway.board());
        nlohmann::json status = gateway.status();
        std::uint64_t seen = gateway.board().latest().version;
        std::string last;
        for (;;) {
            if (!status.value("connected", false))
                return not_answering(
                    feature_fqi, status.value("error", std::string("the sipper does not answer")));
            Response r;
            fill(status, r);
            std::string bytes = r.SerializeAsString();
            if (bytes != last) {
                if (!writer->Write(r)) return grpc::Status::OK;
                last = std::move(bytes);
            }
            const StatusBoard::Seen next = gateway.board().wait_newer(seen, WAKE);
            if (context->IsCancelled() || gateway.board().closed()) return grpc::Status::OK;
            if (next.version == seen) continue;
            seen = next.version;
            status = next.status;
        }
    }

    // How often a quiet subscription looks whether its client is still there.
    static constexpr std::chrono::milliseconds WAKE{250};
};
