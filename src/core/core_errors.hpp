// Failures raised by the native core. The core never sees Python; the binding layer maps each
// kind onto the Python exception class of the same name.
#pragma once

#include <stdexcept>
#include <string>

namespace trelmon {

enum class ErrorKind { Value, Key, Type, Runtime, Overflow };

class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

}  // namespace trelmon
