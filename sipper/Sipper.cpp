// Life of the Sipper: construction (configuration, interface), initialize
// (boards, worker thread, sensor log) and destruction.
#include "sipper/Sipper.h"

#include "interfaces/NI7344IF.h"
#include "interfaces/SipperIFS.h"
#include "motion/Pci7344.h"
#include "sipper/SipperData.h"
#include "sipper/SipperTask.h"
#include "utilities/Syslog.h"
#include "utilities/Timer.h"

namespace {

// How long destruction waits for a running operation to notice its stop.
constexpr double TASK_STOP_WAIT_S = 20.0;
constexpr long TASK_STOP_POLL_MS = 100;

const char* const SENSOR_LOG_NAME = "sip_sensor_history.log";

// Asks a board owner for its board number; false when it does not answer.
bool board_id(Component& component, const std::string& owner, int& id) {
    component.add_iclient(std::make_unique<NI7344IF>(owner));
    auto* client = dynamic_cast<NI7344IF*>(component.get_iclient(owner));
    return client != nullptr && client->get_ID(id) == 0;
}

}  // namespace

Sipper::Sipper(const std::string& name, const std::string& log_path, const std::string& cfg_path)
    : Component(name, log_path, cfg_path), data_(std::make_unique<SipperData>()) {
    int status = 0;
    // Called directly, not through the command's guard: an unreadable plate
    // file ends construction with its own error.
    load_sipper_keys(cfg_path, status);
    if (status != 0) throw Exception("Sipper Constructor -- Failed to load config file " + cfg_path);
    // Commands are served only once the configuration is in place.
    set_interface_server(std::make_unique<SipperIFS>(name, this));
}

Sipper::~Sipper() {
    try {
        // Whatever operation runs (homing clears homed, so that flag says
        // nothing) is stopped with its axes, or its retries and waits would
        // keep the process alive with nobody serving its interface.
        if (data_ != nullptr && task_ != nullptr && task_->is_running()) {
            stop_all_motion();
            Timer timer;
            timer.start();
            while (task_->is_running() && timer.elapsed() <= TASK_STOP_WAIT_S)
                sleep_ms(TASK_STOP_POLL_MS);
        }
        task_.reset();
        linear_.reset();
        rotary_.reset();
        data_.reset();
        sensor_log_.reset();
    } catch (...) {
        // Destruction never raises; what is left goes with the members.
    }
    plate_names_.clear();
}

bool Sipper::initialize() {
    try {
        if (task_ != nullptr) {
            if (task_->is_running()) throw Exception("sipper task is currently active");
            task_.reset();
        }

        // Each initialisation starts the history afresh.
        sensor_log_.reset();
        sensor_log_ = std::make_unique<Syslog>(syslog().log_dir() + SENSOR_LOG_NAME, false);

        task_ = std::make_unique<SipperTask>(data_.get());

        int linear_id = 0;
        if (!board_id(*this, "LinearMC", linear_id))
            throw Exception("failed to get board id from linear mc");
        int rotary_id = 0;
        if (!board_id(*this, "RotaryMC", rotary_id))
            throw Exception("failed to get board id from rotary mc");
        // The board owners were needed for the numbers only.
        clear_iclients();

        linear_.reset();
        rotary_.reset();
        linear_ = std::make_unique<Pci7344>(linear_id);
        rotary_ = std::make_unique<Pci7344>(rotary_id);

        return Component::initialize();
    } catch (const Exception& e) {
        log_msg("initialize ERROR : " + e.message(), 0);
    } catch (...) {
        log_msg("initialize ERROR : unknown exception", 0);
    }
    return false;
}
