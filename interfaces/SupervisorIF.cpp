#include "interfaces/SupervisorIF.h"

SupervisorIF::SupervisorIF(const std::string& name) : ComponentIF(name)
{
    add_table(supervisor_methods::TABLE);
}
