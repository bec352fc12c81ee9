#include "sim/installation/LogServerIFS.h"

#include "interfaces/LogServerMethods.h"
#include "sim/installation/LogServerSim.h"

LogServerIFS::LogServerIFS(const std::string& name, LogServerSim* peer) : ComponentIFS(name, peer), peer_(peer)
{
    add_table(log_server_methods::TABLE);
}

void LogServerIFS::dispatch(const Message& message)
{
    using namespace log_server_methods;
    const MethodSpec* method = TABLE.find(message.id());
    if (method == nullptr) {
        ComponentIFS::dispatch(message);
        return;
    }
    if (method->id == ADD_LOG_MSG && message.fits(*method))
        peer_->add_log_msg(message.get_string(*method, 0));
}
