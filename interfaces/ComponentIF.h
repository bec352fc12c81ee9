#pragma once
#include <string>

#include "interfaces/ComponentMethods.h"
#include "interfaces/InterfaceClient.h"

// Client of the twelve component methods every component serves. Every
// other client class derives from it. Each call returns a CallResult; a query
// sets its out-parameters to 0 (or empty) before anything else, so a failed
// query leaves them so.
//
//   ComponentIF peer("LinearMC");
//   peer.open();
//   peer.log_msg("hello", 0);
class ComponentIF : public InterfaceClient {
public:
    explicit ComponentIF(const std::string& name);

    int run();
    int stop();
    int reset();
    int kill();
    int get_name(std::string& name);
    int get_state(int& state);
    int save_config(const std::string& file, int& result);
    int delete_config(const std::string& file, int& result);
    int load_config(const std::string& file, int& result);
    int log_msg(const std::string& text, int level);
    int get_component_version(std::string& version);
    int get_cfg_dir(std::string& directory);

protected:
    // Typed helpers for the wrappers of this class and its subclasses.
    int query_int(const InterfaceTable& table, std::uint16_t id, std::initializer_list<Value> args, int& out);
    int query_text(const InterfaceTable& table, std::uint16_t id, std::initializer_list<Value> args,
                   std::string& out);
    int call_method(const InterfaceTable& table, std::uint16_t id, std::initializer_list<Value> args = {});
};
