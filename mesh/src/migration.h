// MigrationController: the bookkeeping of staged storage migrations, one
// record per storage variable, moving through seven stages:
//
//   idle(0) <- shadow_write(1) -> shadow_read(2) -> dual_read(3)
//           -> new_primary(4) -> cleanup(5) -> done(6)
//
// start puts a variable at stage 1; advance moves 0..5 one stage up; rollback
// moves 1..5 one stage down; done is final until start replaces the record.
//
// Thread safety: any thread may call any operation; each takes the table's
// lock once (exclusive for start / advance / rollback) and hands out copies.
// A poisoned table fails every operation with Migration "lock poisoned" and
// count_active reads 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "error.h"
#include "guarded.h"
#include "hashing.h"

namespace vrell {

inline constexpr uint8_t kMigrationDone = 6;
// The spare bytes after the texts that writing a record copies sixteen bytes
// at a time (json::RawWriter::blocks).
inline constexpr size_t kMigrationCopySlack = 16;
// The stage names, indexed by stage number.
inline constexpr std::array<std::string_view, 7> kStageNames = {
    "idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"};

struct MigrationState {
  std::string variable_name;
  std::string source_backend;
  std::string target_backend;
  uint8_t stage = 1;
  std::string stage_name;
  std::string started_at;
  std::string advanced_at;
  uint64_t discrepancy_count = 0;
  uint64_t keys_migrated = 0;
  std::string app_name;

  // The ten members in this fixed order (not sorted). The stage name and the
  // timestamps are written as this controller made them (such text needs no
  // escape).
  void write_json(std::string& out) const;
  // At least what write_json appends, for this record at any stage: room
  // reserved before a change, so that writing after it cannot fail.
  size_t json_size_bound() const noexcept;
};

class MigrationController {
 public:
  explicit MigrationController(std::string app_name, const Clock& clock = SystemClock::instance());

  Result<MigrationState> start(std::string_view variable_name, std::string_view source_backend,
                               std::string_view target_backend);
  // Counters accumulate, wrapping modulo 2^64.
  Result<MigrationState> advance(std::string_view variable_name, uint64_t discrepancy_count,
                                 uint64_t keys_migrated);
  Result<MigrationState> rollback(std::string_view variable_name);
  Result<std::optional<MigrationState>> get(std::string_view variable_name) const;

  // Copy-free forms for callers that want the JSON text: the changing
  // operations append the resulting record's JSON to `json` instead of
  // returning a copy; write_json gives false (nothing appended) for a
  // variable without a record; write_list_json appends the JSON array.
  Result<void> start(std::string_view variable_name, std::string_view source_backend,
                     std::string_view target_backend, std::string& json);
  Result<void> advance(std::string_view variable_name, uint64_t discrepancy_count,
                       uint64_t keys_migrated, std::string& json);
  Result<void> rollback(std::string_view variable_name, std::string& json);
  Result<bool> write_json(std::string_view variable_name, std::string& out) const;
  Result<void> write_list_json(std::string& out) const;
  // In the table's iteration order.
  Result<std::vector<MigrationState>> list_all() const;
  // Records below stage 6; never fails (0 when poisoned); constant time.
  uint64_t count_active() const noexcept;

  const std::string& app_name() const noexcept { return app_name_; }

 private:
  friend struct TestAccess;
  // A record keeps its timestamps as fixed-size text and not the names that
  // every record shares (stage names, the app's): a start allocates only its
  // text, and an advance nothing. The variable's name is the table's key.
  // Records are never removed, so their size is the table's growth.
  struct Record {
    // The JSON text up to the stage's value, then the two backends' names as
    // given, then kMigrationCopySlack spare bytes. Names never change after
    // start, so they are escaped once there, not on every write, and kept in
    // the one allocation.
    std::string text;
    size_t head_size = 0;
    size_t source_size = 0;
    uint64_t discrepancy_count = 0;
    uint64_t keys_migrated = 0;
    Timestamp started_at;
    Timestamp advanced_at;
    uint8_t stage = 1;

    std::string_view json_head() const noexcept { return {text.data(), head_size}; }
    std::string_view source_backend() const noexcept {
      return std::string_view(text).substr(head_size, source_size);
    }
    std::string_view target_backend() const noexcept {
      return std::string_view(text).substr(
          head_size + source_size, text.size() - kMigrationCopySlack - head_size - source_size);
    }
  };
  struct Table {
    KeyedMap<Record> records;
    uint64_t active = 0;
  };
  template <class Out>
  typename Out::Result start_with(std::string_view variable_name, std::string_view source_backend,
                                  std::string_view target_backend, Out& out);
  template <class Out>
  typename Out::Result advance_with(std::string_view variable_name, uint64_t discrepancy_count,
                                    uint64_t keys_migrated, Out& out);
  template <class Out>
  typename Out::Result rollback_with(std::string_view variable_name, Out& out);
  std::string app_name_;
  // The JSON text from the app name's member to the end, the same for every
  // record, then kMigrationCopySlack spare bytes.
  std::string json_tail_;
  const Clock* clock_;
  Guarded<Table> table_;
};

}  // namespace vrell
