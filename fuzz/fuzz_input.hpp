#pragma once
// What every fuzz target shares: the fuzzer's bytes read one at a time (zeros once they run
// out), and a check that aborts, so that libFuzzer keeps the input that broke it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#define REQUIRE(condition)              \
    do {                                \
        if (!(condition)) std::abort(); \
    } while (0)

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const noexcept { return pos_ >= size_; }
    std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};
