#pragma once
#include <string>

#include "interfaces/ComponentIF.h"
#include "interfaces/NI7344Methods.h"

// Client of a motion board's owner component, which knows the board number.
class NI7344IF : public ComponentIF {
public:
    explicit NI7344IF(const std::string& name);

    // Query; `id` is 0 unless the call returns call_ok.
    int get_ID(int& id);
};
