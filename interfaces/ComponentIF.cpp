#include "interfaces/ComponentIF.h"

using namespace component_methods;

ComponentIF::ComponentIF(const std::string& name) : InterfaceClient(name)
{
    add_table(component_methods::TABLE);
    set_queue_size(DEFAULT_QUEUE_SIZE);
}

int ComponentIF::call_method(const InterfaceTable& table, std::uint16_t id, std::initializer_list<Value> args)
{
    return call(table.method(id), args);
}

int ComponentIF::query_int(const InterfaceTable& table, std::uint16_t id, std::initializer_list<Value> args,
                           int& out)
{
    out = 0;
    std::vector<Value> results;
    const int rc = query(table.method(id), args, results);
    if (rc == call_ok)
        out = std::get<std::int32_t>(results.at(0));
    return rc;
}

int ComponentIF::query_text(const InterfaceTable& table, std::uint16_t id, std::initializer_list<Value> args,
                            std::string& out)
{
    out.clear();
    std::vector<Value> results;
    const int rc = query(table.method(id), args, results);
    if (rc == call_ok)
        out = std::get<std::string>(results.at(0));
    return rc;
}

int ComponentIF::run() { return call_method(TABLE, RUN); }
int ComponentIF::stop() { return call_method(TABLE, STOP); }
int ComponentIF::reset() { return call_method(TABLE, RESET); }
int ComponentIF::kill() { return call_method(TABLE, KILL); }

int ComponentIF::get_name(std::string& name) { return query_text(TABLE, GET_NAME, {}, name); }
int ComponentIF::get_state(int& state) { return query_int(TABLE, GET_STATE, {}, state); }

int ComponentIF::save_config(const std::string& file, int& result)
{
    return query_int(TABLE, SAVE_CONFIG, {file}, result);
}

int ComponentIF::delete_config(const std::string& file, int& result)
{
    return query_int(TABLE, DELETE_CONFIG, {file}, result);
}

int ComponentIF::load_config(const std::string& file, int& result)
{
    return query_int(TABLE, LOAD_CONFIG, {file}, result);
}

int ComponentIF::log_msg(const std::string& text, int level)
{
    return call_method(TABLE, LOG_MSG, {text, std::int32_t(level)});
}

int ComponentIF::get_component_version(std::string& version)
{
    return query_text(TABLE, GET_COMPONENT_VERSION, {}, version);
}

int ComponentIF::get_cfg_dir(std::string& directory) { return query_text(TABLE, GET_CFG_DIR, {}, directory); }
