#pragma once
#include <string>

#include "interfaces/ComponentMethods.h"
#include "interfaces/InterfaceServer.h"

class Component;

// Server of the twelve component methods (ids 0 to 11) for one component.
// A component installs it, or a subclass serving more methods, under its own
// interface name:
//
//   set_interface_server(std::make_unique<ComponentIFS>(name(), this));
//
// A subclass appends its own table in its constructor, decodes its own ids
// first and passes every other message to ComponentIFS::dispatch.
class ComponentIFS : public InterfaceServer {
public:
    // The component is not owned; it must outlive the server (the component
    // owns its server, so it does).
    ComponentIFS(const std::string& name, Component* component);

    // Ids 0 to 11; any other id is ignored without a reply.
    void dispatch(const Message& message) override;

    // The server's own diagnostics go into the component's log.
    void report(const std::string& text) override;

protected:
    Component* component() const { return component_; }

private:
    Component* component_;
};
