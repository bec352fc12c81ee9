#include "sim/installation/BoardOwnerSim.h"

#include <memory>

#include "sim/installation/NI7344IFS.h"

BoardOwnerSim::BoardOwnerSim(const std::string& name, const std::string& log_path, int board_id)
    : SimPeer(name, log_path), board_id_(board_id)
{
    log_msg("owner of board " + std::to_string(board_id), 0);
    set_interface_server(std::make_unique<NI7344IFS>(name, this));
}
