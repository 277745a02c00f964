#pragma once
// A record that a check decodes into only to reach its verdict: kept per
// thread (in a ThreadBlock) so that its strings and buffers are reused from
// one check to the next, and dropped after decoding a large input (whose
// copies it would otherwise hold for good).

#include <cstddef>
#include <optional>

namespace korvalinth {

template <class Record>
class ScratchRecord {
 public:
  // check(record) for an input of `input_size` bytes.
  template <class Check>
  auto use(std::size_t input_size, Check&& check) {
    Record& record = record_ ? *record_ : record_.emplace();
    auto verdict = check(record);
    if (input_size > kKeptInputBytes) record_.reset();
    return verdict;
  }

 private:
  // A record holds copies of parts of its input, so no more than this.
  static constexpr std::size_t kKeptInputBytes = 64 * 1024;
  std::optional<Record> record_;
};

}  // namespace korvalinth
