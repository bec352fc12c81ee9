#include "motion/Pci7344_Exception.h"

Pci7344_Exception::Pci7344_Exception(const std::string& message, int32_t code)
    : Exception(message), code_(code) {}
