// The state store: string keys mapped to JSON values.
//
// Thread safety: any thread may call any operation; each takes the store's
// lock once (shared for get / exists / keys_with_prefix / key_count, exclusive
// for set / delete_key) and hands out copies. A poisoned store fails every
// operation with State "state lock poisoned" and reports key_count 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "guarded.h"
#include "hashing.h"
#include "json.h"

namespace vrell {

class StateStore {
 public:
  virtual ~StateStore() = default;
  virtual Result<std::optional<json::Value>> get(std::string_view key) const = 0;
  virtual Result<void> set(std::string_view key, json::Value value) = 0;
  // A missing key is no error.
  virtual Result<void> delete_key(std::string_view key) = 0;
  virtual Result<bool> exists(std::string_view key) const = 0;
  // Sorted ascending by unsigned bytes; the empty prefix keeps every key.
  virtual Result<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const = 0;
  // Never fails: 0 when poisoned.
  virtual uint64_t key_count() const noexcept = 0;
};

class InMemoryStateStore final : public StateStore {
 public:
  InMemoryStateStore();

  Result<std::optional<json::Value>> get(std::string_view key) const override;
  Result<void> set(std::string_view key, json::Value value) override;
  Result<void> delete_key(std::string_view key) override;
  Result<bool> exists(std::string_view key) const override;
  Result<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const override;
  uint64_t key_count() const noexcept override;

  // set() from canonical text (as json::parse_into leaves it), reusing the
  // stored value's buffer when the key exists.
  Result<void> set_canonical(std::string_view key, std::string_view canonical);

  // get() without the intermediate Value: appends the value's JSON text to
  // `out` (false, nothing appended, when the key is absent).
  Result<bool> read_into(std::string_view key, std::string& out) const;

 private:
  friend struct TestAccess;
  Guarded<KeyedMap<json::Value>> map_;
};

}  // namespace vrell
