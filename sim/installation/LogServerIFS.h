#pragma once
#include <string>

#include "interfaces/ComponentIFS.h"

class LogServerSim;

// Server of the log server's methods for the simulated log server; only
// "add_log_msg" has a layout known to this system, the others are ignored.
class LogServerIFS : public ComponentIFS {
public:
    LogServerIFS(const std::string& name, LogServerSim* peer);
    void dispatch(const Message& message) override;

private:
    LogServerSim* peer_;
};
