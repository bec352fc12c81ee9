#pragma once
#include <cstdint>
#include <string>

#include "utilities/Exception.h"

// A failed motion board call: the wrapper's message (operation prefix plus
// the board library's description) and the library's status code.
//
//   try { board.start(3, 0); }
//   catch (const Pci7344_Exception& e) { if (e.code() == -70025) ...; }
class Pci7344_Exception : public Exception {
public:
    Pci7344_Exception(const std::string& message, int32_t code);
    int32_t code() const { return code_; }

private:
    int32_t code_;
};
