#include "interfaces/ComponentIFS.h"

#include <cstdint>

#include "component/Component.h"

ComponentIFS::ComponentIFS(const std::string& name, Component* component)
    : InterfaceServer(name), component_(component) {
    add_table(component_methods::TABLE);
    set_queue_size(DEFAULT_QUEUE_SIZE);
}

void ComponentIFS::dispatch(const Message& message) {
    using namespace component_methods;
    const MethodSpec* method = TABLE.find(message.id());
    if (method == nullptr || component_ == nullptr || !message.fits(*method)) return;
    const MethodSpec& m = *method;

    // The operations write at most STRING_FIELD_SIZE - 1 characters and a NUL.
    char text[STRING_FIELD_SIZE] = {};
    int value = 0;
    switch (m.id) {
    case RUN:
        component_->run();
        break;
    case STOP:
        component_->stop();
        break;
    case RESET:
        component_->reset();
        break;
    case KILL:
        component_->kill();
        break;
    case GET_NAME:
        component_->get_name(text, sizeof text);
        reply(m, message, {std::string(text)});
        break;
    case GET_STATE:
        component_->get_state(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case SAVE_CONFIG:
        component_->save_config(message.get_string(m, 0), value);
        reply(m, message, {std::int32_t{value}});
        break;
    case DELETE_CONFIG:
        component_->delete_config(message.get_string(m, 0), value);
        reply(m, message, {std::int32_t{value}});
        break;
    case LOAD_CONFIG:
        component_->load_config(message.get_string(m, 0), value);
        reply(m, message, {std::int32_t{value}});
        break;
    case LOG_MSG: {
        // The text overload: a component that overrides only that one still
        // gets the lines of its peers.
        const std::string text = message.get_string(m, 0);
        component_->log_msg(text.c_str(), message.get_int(m, 1));
        break;
    }
    case GET_COMPONENT_VERSION:
        component_->get_component_version(text, sizeof text);
        reply(m, message, {std::string(text)});
        break;
    case GET_CFG_DIR:
        component_->get_cfg_dir(text, sizeof text);
        reply(m, message, {std::string(text)});
        break;
    default:
        break;
    }
}

void ComponentIFS::report(const std::string& text) {
    if (component_ != nullptr)
        component_->log_msg("ComponentIFS " + name() + ": " + text, 0);
    else
        InterfaceServer::report(text);
}
