#include "sim/installation/LogServerSim.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "sim/installation/LogServerIFS.h"
#include "utilities/Exception.h"

LogServerSim::LogServerSim(const std::string& name, const std::string& log_path,
                           const std::string& collection_path)
    : SimPeer(name, log_path), collection_path_(collection_path)
{
    collection_ = std::fopen(collection_path.c_str(), "a");
    if (collection_ == nullptr)
        throw Exception("LogServerSim: cannot open " + collection_path + ": " + std::strerror(errno));
    log_msg("collecting log lines in " + collection_path, 0);
    set_interface_server(std::make_unique<LogServerIFS>(name, this));
}

LogServerSim::~LogServerSim()
{
    if (collection_ != nullptr)
        std::fclose(collection_);
}

void LogServerSim::add_log_msg(const std::string& text)
{
    std::fputs(text.c_str(), collection_);
    std::fputc('\n', collection_);
    std::fflush(collection_);
}
