#include "interfaces/SipperIFS.h"

#include <cstdint>

#include "sipper/Sipper.h"

SipperIFS::SipperIFS(const std::string& name, Sipper* sipper)
    : ComponentIFS(name, sipper), sipper_(sipper) {
    add_table(sipper_methods::TABLE);
    set_queue_size(DEFAULT_QUEUE_SIZE);
}

void SipperIFS::dispatch(const Message& message) {
    using namespace sipper_methods;
    const MethodSpec* method = TABLE.find(message.id());
    if (method == nullptr) {
        ComponentIFS::dispatch(message);
        return;
    }
    if (sipper_ == nullptr || !message.fits(*method)) return;
    const MethodSpec& m = *method;

    // Text results are at most STRING_FIELD_SIZE - 1 characters and a NUL.
    char text[STRING_FIELD_SIZE] = {};
    int value = 0;
    int second = 0;
    switch (m.id) {
    case GET_STATUS:
        sipper_->get_status(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case SYSTEM_CONFIGURED:
        sipper_->system_configured(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case HOME:
        sipper_->home();
        break;
    case SET_ACTIVE_PLATE:
        sipper_->set_active_plate(message.get_string(m, 0));
        break;
    case SET_PLATE_TYPE:
        sipper_->set_plate_type(message.get_string(m, 0), message.get_int(m, 1));
        break;
    case GET_PLATE_TYPE:
        sipper_->get_plate_type(message.get_string(m, 0), value);
        reply(m, message, {std::int32_t{value}});
        break;
    case SET_MISSED_SIP_TOL:
        sipper_->set_missed_sip_tol(message.get_int(m, 0));
        break;
    case GET_MISSED_SIP_TOL:
        sipper_->get_missed_sip_tol(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case SET_POSITION:
        sipper_->set_position(message.get_string(m, 0), message.get_int(m, 1), value);
        reply(m, message, {std::int32_t{value}});
        break;
    case GOTO_POSITION:
        sipper_->goto_position(message.get_int(m, 0));
        break;
    case GOTO_POSITION_SAFE:
        sipper_->goto_position_safe(message.get_int(m, 0));
        break;
    case EMERGENCY:
        sipper_->emergency(message.get_int(m, 0), value);
        reply(m, message, {std::int32_t{value}});
        break;
    case RESET_ERROR_STATE:
        sipper_->reset_error_state();
        break;
    case GET_CURRENT_POSITIONS: {
        double x = 0, y = 0, z = 0;
        sipper_->get_current_positions(x, y, z);
        reply(m, message, {x, y, z});
        break;
    }
    case SIP: {
        const std::string well = message.get_string(m, 0);
        sipper_->sip(well.c_str(), message.get_int(m, 1), message.get_int(m, 2),
                     message.get_int(m, 3), message.get_real(m, 4), message.get_int(m, 5),
                     message.get_int(m, 6));
        break;
    }
    case STOP_ALL_MOTION:
        sipper_->stop_all_motion();
        break;
    case WASH:
        sipper_->wash(message.get_int(m, 0), message.get_int(m, 1));
        break;
    case GET_PLATE_INFO:
        sipper_->get_plate_info(text, sizeof text, value, second);
        reply(m, message, {std::string(text), std::int32_t{value}, std::int32_t{second}});
        break;
    case GET_ALL_PLATE_CONFIGS:
        sipper_->get_all_plate_configs(text, sizeof text);
        reply(m, message, {std::string(text)});
        break;
    case RESET_RUN_STATS:
        sipper_->reset_run_stats();
        break;
    case AT_PLATE_SWAP_POSITION:
        sipper_->at_plate_swap_position(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case TWISTER_ARM_CLEAR_OF_STAGE:
        sipper_->twister_arm_clear_of_stage(message.get_int(m, 0));
        break;
    case GET_NUM_PLATE_ROWS:
        sipper_->get_num_plate_rows(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case GET_NUM_PLATE_COLS:
        sipper_->get_num_plate_cols(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case IS_HOMED:
        sipper_->is_homed(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case GET_INHIBIT_STATE:
        sipper_->get_inhibit_state(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case SAMPLE_INTERFACE_STATES_CHANGED:
        sipper_->sample_interface_states_changed();
        break;
    case LOG_SIP_SENSOR:
        sipper_->log_sip_sensor(message.get_int(m, 0));
        break;
    default:
        break;
    }
}
