#include "sila/FeatureSupport.h"

#include "interfaces/SipperMethods.h"

grpc::Status FeatureSupport::error_of(const std::string& feature_fqi,
                                      const CommandTracker::Record& r) {
    const std::string id = SipperGateway::error_identifier(r);
    std::string text = r.message;
    if (text.empty())
        text = std::string("The operation ended ") + CommandTracker::state_name(r.state) + ".";
    return SilaError::defined(feature_fqi + "/DefinedExecutionError/" + id, text);
}

grpc::Status FeatureSupport::not_answering(const std::string& feature_fqi,
                                           const std::string& text) {
    return SilaError::defined(feature_fqi + "/DefinedExecutionError/SipperNotAnswering",
                              "The sipper does not answer (" + text + "); check that it runs.");
}

ExecutionRegistry::Outcome FeatureSupport::run(
    SipperGateway& gateway, ExecutionRegistry::Progress& progress, const std::string& feature_fqi,
    const CommandTracker::Operation& op, CommandTracker::Record* record, double start_fraction) {
    if (progress.cancelled()) return {};
    const CommandTracker::Record r = gateway.run(
        op, [&] { return progress.cancelled(); }, [&] { progress.running(start_fraction); });
    // Cancelled while it was being sent: the stop may have come before it.
    if (!r.finished() && progress.cancelled())
        gateway.submit(
            SipperGateway::operation("stop_all_motion", sipper_methods::STOP_ALL_MOTION));
    if (record != nullptr) *record = r;
    if (r.state == CommandTracker::State::succeeded) return {};
    if (!r.finished())
        return {SilaError::undefined(
                    "The operation did not end before the server stopped following it."),
                ""};
    return {error_of(feature_fqi, r), ""};
}

std::string FeatureSupport::sip_outcome(const std::string& tracker_outcome) {
    if (tracker_outcome == "seen") return "SampleSeen";
    if (tracker_outcome == "missed") return "SampleMissed";
    return "DoneWithoutSensor";
}
