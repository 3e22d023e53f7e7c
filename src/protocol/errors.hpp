#pragma once
// The core's exception types. One kind per standard error of the host language, plus the
// library's own hierarchy; the binding translates each kind to its Python class.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

namespace velmora {

enum class ErrorKind {
    Value,
    Type,
    Overflow,
    Index,
    Key,
    Permission,
    Runtime,
    NotImplemented,
    ZeroDivision,
    MasterException,
    MasterRunning,
    MappingLocked,
    AlreadyMapped,
};

class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

#define VELMORA_DEFINE_ERROR(Name, Kind)                                         \
    class Name : public Error {                                                  \
      public:                                                                    \
        explicit Name(const std::string& message = {}) : Error(Kind, message) {} \
    };

VELMORA_DEFINE_ERROR(ValueError, ErrorKind::Value)
VELMORA_DEFINE_ERROR(TypeError, ErrorKind::Type)
VELMORA_DEFINE_ERROR(OverflowError, ErrorKind::Overflow)
VELMORA_DEFINE_ERROR(IndexError, ErrorKind::Index)
VELMORA_DEFINE_ERROR(PermissionError, ErrorKind::Permission)
VELMORA_DEFINE_ERROR(RuntimeError, ErrorKind::Runtime)
VELMORA_DEFINE_ERROR(NotImplementedError, ErrorKind::NotImplemented)
VELMORA_DEFINE_ERROR(ZeroDivisionError, ErrorKind::ZeroDivision)
VELMORA_DEFINE_ERROR(FSOEMasterException, ErrorKind::MasterException)
VELMORA_DEFINE_ERROR(FSOEMasterRunningException, ErrorKind::MasterRunning)
VELMORA_DEFINE_ERROR(FSOEMasterMappingLockedException, ErrorKind::MappingLocked)
VELMORA_DEFINE_ERROR(FSoEAlreadyMappedException, ErrorKind::AlreadyMapped)

#undef VELMORA_DEFINE_ERROR

// A key error carries the missing key itself (an integer key or a text name), so the
// binding can raise KeyError with that object as its argument.
class KeyError : public Error {
  public:
    using Key = std::variant<std::int64_t, std::string>;
    explicit KeyError(std::int64_t key) : Error(ErrorKind::Key, std::to_string(key)), key_(key) {}
    explicit KeyError(const std::string& name) : Error(ErrorKind::Key, name), key_(name) {}
    const Key& key() const noexcept { return key_; }

  private:
    Key key_;
};

}  // namespace velmora
