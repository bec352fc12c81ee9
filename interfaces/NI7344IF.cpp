#include "interfaces/NI7344IF.h"

NI7344IF::NI7344IF(const std::string& name) : ComponentIF(name)
{
    add_table(ni7344_methods::TABLE);
}

int NI7344IF::get_ID(int& id)
{
    return query_int(ni7344_methods::TABLE, ni7344_methods::GET_ID, {}, id);
}
