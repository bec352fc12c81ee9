#include "interfaces/LogServerIF.h"

LogServerIF::LogServerIF(const std::string& name) : ComponentIF(name)
{
    add_table(log_server_methods::TABLE);
}

int LogServerIF::add_log_msg(const std::string& text)
{
    return call_method(log_server_methods::TABLE, log_server_methods::ADD_LOG_MSG, {text});
}
