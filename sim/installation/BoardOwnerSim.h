#pragma once
#include <string>

#include "sim/installation/SimPeer.h"

// The simulated owner of one motion board ("LinearMC", "RotaryMC"): tells
// callers the number of its board through "get_ID".
class BoardOwnerSim : public SimPeer {
public:
    BoardOwnerSim(const std::string& name, const std::string& log_path, int board_id);

    void get_ID(int& id) const { id = board_id_; }
    int board_id() const { return board_id_; }

private:
    int board_id_;
};
