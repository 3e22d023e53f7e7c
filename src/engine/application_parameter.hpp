#pragma once
// A value that the host defines, hands to one handler, and that the Parameter state sends
// to the slave. It follows the running flag of the handler that claimed it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "mapping/dynamic_map.hpp"

namespace velmora {

class ApplicationParameter : public DynamicMappableItem {
  public:
    using RunningFlag = std::shared_ptr<const std::atomic<bool>>;

    // Size and type rules: value errors when neither is given, when the size alone is not
    // 1, 2 or 4, or when the two disagree.
    ApplicationParameter(std::string name, const Value& initial_value,
                         std::optional<std::int64_t> n_bytes = std::nullopt,
                         std::optional<DataType> data_type = std::nullopt);

    // The data type that the size and type arguments select (the value errors above).
    static DataType resolve_type(std::optional<std::int64_t> n_bytes,
                                 std::optional<DataType> data_type);

    const std::string& name() const noexcept { return name_; }

    // Refused while the claiming handler runs; otherwise as DynamicMappableItem::set.
    void set(const Value& value);

    // Claims the parameter for the handler whose running flag is given. Once only: a
    // second claim (by any handler) is a permission error and changes nothing.
    void _set_use_by_master(RunningFlag handler_running);
    bool claimed() const noexcept { return claimed_; }
    bool handler_running() const noexcept { return running_ && running_->load(); }

  private:
    std::string name_;
    bool claimed_ = false;
    RunningFlag running_;
};

using ApplicationParameterPtr = std::shared_ptr<ApplicationParameter>;

inline constexpr const char* kParameterAlreadyUsedMessage =
    "Application parameter already used by a master";

}  // namespace velmora
