#include "utilities/Exception.h"

#include <utility>

Exception::Exception(std::string message) : message_(std::move(message)) {}

Exception::~Exception() = default;

const std::string& Exception::message() const { return message_; }
