#pragma once
#include <string>

#include "interfaces/ComponentIF.h"
#include "interfaces/SupervisorMethods.h"

// Client of the supervisor. The system calls none of its own methods; the
// component registers it so that the component methods reach the supervisor.
class SupervisorIF : public ComponentIF {
public:
    explicit SupervisorIF(const std::string& name);
};
