#pragma once
#include <string>

#include "interfaces/ComponentIFS.h"
#include "interfaces/SipperMethods.h"

class Sipper;

// Server of the sipper interface: ids 12 to 39 call the Sipper's commands,
// every other id goes to the component methods (ids 40 and up are ignored
// there). Built from the same method table as SipperIF, so both sides agree
// on every offset and slot.
//
//   set_interface_server(std::make_unique<SipperIFS>(name(), this));
class SipperIFS : public ComponentIFS {
public:
    // The sipper is not owned; it owns its server and so outlives it.
    SipperIFS(const std::string& name, Sipper* sipper);

    void dispatch(const Message& message) override;

private:
    Sipper* sipper_;
};
