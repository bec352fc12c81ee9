#pragma once
#include <string>

#include "interfaces/ComponentIFS.h"

class SampleInterfaceSim;

// Server of the sample interface's methods for the simulated sample
// interface: the calls the sipper makes, with the layouts its client uses.
// Methods whose layout only the real sample interface knows are ignored.
class SampleInterfaceIFS : public ComponentIFS {
public:
    SampleInterfaceIFS(const std::string& name, SampleInterfaceSim* peer);
    void dispatch(const Message& message) override;

private:
    SampleInterfaceSim* peer_;
};
