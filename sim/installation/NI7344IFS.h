#pragma once
#include <string>

#include "interfaces/ComponentIFS.h"

class BoardOwnerSim;

// Server of a board owner's methods for the simulated board owner; only
// "get_ID" has a layout known to this system, the others are ignored.
class NI7344IFS : public ComponentIFS {
public:
    NI7344IFS(const std::string& name, BoardOwnerSim* peer);
    void dispatch(const Message& message) override;

private:
    BoardOwnerSim* peer_;
};
