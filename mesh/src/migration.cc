#include "migration.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "json.h"

namespace vrell {

const std::array<std::string_view, 7> kStageNames = {
    "idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"};

namespace {

MeshError in_progress(std::string_view name, const MigrationState& record) {
  std::string message = "Migration for '";
  message += name;
  message += "' already in progress at stage ";
  message += std::to_string(record.stage);
  message += " (";
  message += record.stage_name;
  message += ')';
  return MeshError::migration(message);
}

MeshError not_started(std::string_view name) {
  std::string message = "No migration in progress for '";
  message += name;
  message += '\'';
  return MeshError::migration(message);
}

MeshError already_complete(std::string_view name) {
  std::string message = "Migration for '";
  message += name;
  message += "' is already complete";
  return MeshError::migration(message);
}

void apply_stage(MigrationState& record, uint8_t stage, std::string_view now,
                 uint64_t discrepancies, uint64_t keys) {
  record.stage = stage;
  record.stage_name = kStageNames[stage];
  record.advanced_at = now;
  // Unsigned: wraps modulo 2^64 by design.
  record.discrepancy_count += discrepancies;
  record.keys_migrated += keys;
}

// What a changing operation hands back: a copy of the record, or its JSON
// appended to a string. Either is prepared before the table changes (the
// copy made, the string's room reserved), so a failed allocation leaves the
// table as it was.
struct CopyOut {
  using Result = vrell::Result<MigrationState>;
  MigrationState copy;
  void prepare(const MigrationState& record) { copy = record; }
  Result finish(const MigrationState&) { return std::move(copy); }
};

struct JsonOut {
  using Result = vrell::Result<void>;
  std::string& out;
  void prepare(const MigrationState& r) { out.reserve(out.size() + r.json_size_bound()); }
  Result finish(const MigrationState& record) {
    record.write_json(out);
    return {};
  }
};

// Moves a stored record to `stage`; strong guarantee as above.
template <class Out>
typename Out::Result move_to_stage(MigrationState& record, uint8_t stage, std::string_view now,
                                   uint64_t discrepancies, uint64_t keys, Out& out) {
  record.stage_name.reserve(kStageNames[stage].size());
  record.advanced_at.reserve(now.size());
  out.prepare(record);
  // The copy may still allocate; the stored record, with its room reserved, cannot.
  if constexpr (std::is_same_v<Out, CopyOut>)
    apply_stage(out.copy, stage, now, discrepancies, keys);
  apply_stage(record, stage, now, discrepancies, keys);
  return out.finish(record);
}

}  // namespace

namespace {

// What stands before each member's value in a state's JSON form, in order.
constexpr std::string_view kPieces[] = {
    "{\"variable_name\":", ",\"source_backend\":",    ",\"target_backend\":",
    ",\"stage\":",         ",\"stage_name\":",        ",\"started_at\":",
    ",\"advanced_at\":",   ",\"discrepancy_count\":", ",\"keys_migrated\":",
    ",\"app_name\":",
};

constexpr size_t longest_stage_name() {
  size_t n = 0;
  for (std::string_view name : kStageNames) n = std::max(n, name.size());
  return n;
}

}  // namespace

void MigrationState::write_json(std::string& out) const {
  // The pieces come from the table the bound is computed from.
  json::RawWriter w(out, json_size_bound());
  w.raw(kPieces[0]);
  w.string(variable_name);
  w.raw(kPieces[1]);
  w.string(source_backend);
  w.raw(kPieces[2]);
  w.string(target_backend);
  w.raw(kPieces[3]);
  w.u64(stage);
  w.raw(kPieces[4]);
  w.plain_string(stage_name);
  w.raw(kPieces[5]);
  w.plain_string(started_at);
  w.raw(kPieces[6]);
  w.plain_string(advanced_at);
  w.raw(kPieces[7]);
  w.u64(discrepancy_count);
  w.raw(kPieces[8]);
  w.u64(keys_migrated);
  w.raw(kPieces[9]);
  w.string(app_name);
  w.put('}');
}

size_t MigrationState::json_size_bound() const noexcept {
  // The pieces and the closing brace; each text between quotes, a byte of it
  // escaping to at most six; the stage name and the timestamps as long as any
  // can become, so that the bound holds across a stage change too; three
  // numbers of at most 20 digits.
  size_t n = 1;
  for (std::string_view piece : kPieces) n += piece.size();
  for (size_t text :
       {variable_name.size(), source_backend.size(), target_backend.size(), app_name.size(),
        longest_stage_name(), Timestamp::kCapacity, Timestamp::kCapacity}) {
    n += 2 + 6 * text;
  }
  return n + 3 * 20;
}

MigrationController::MigrationController(std::string app_name, const Clock& clock)
    : app_name_(std::move(app_name)),
      clock_(&clock),
      table_(MeshError::migration("lock poisoned")) {}

template <class Out>
typename Out::Result MigrationController::start_with(std::string_view variable_name,
                                                     std::string_view source_backend,
                                                     std::string_view target_backend, Out& out) {
  using R = typename Out::Result;
  return table_.write([&](Table& t) -> R {
    const auto it = t.records.find(variable_name);
    if (it != t.records.end() && it->second.stage < kMigrationDone) {
      return unexpected(in_progress(variable_name, it->second));
    }
    Result<Timestamp> now = read_timestamp(*clock_);
    if (!now) return unexpected(std::move(now).error());

    MigrationState record;
    record.variable_name = variable_name;
    record.source_backend = source_backend;
    record.target_backend = target_backend;
    record.stage = 1;
    record.stage_name = kStageNames[1];
    record.started_at = now->text();
    record.advanced_at = now->text();
    record.app_name = app_name_;
    out.prepare(record);

    MigrationState* stored;
    if (it != t.records.end()) {
      // A completed record gives way to the new run.
      it->second = std::move(record);
      stored = &it->second;
    } else {
      stored = &t.records.emplace(std::string(variable_name), std::move(record)).first->second;
    }
    ++t.active;
    return out.finish(*stored);
  });
}

template <class Out>
typename Out::Result MigrationController::advance_with(std::string_view variable_name,
                                                       uint64_t discrepancy_count,
                                                       uint64_t keys_migrated, Out& out) {
  using R = typename Out::Result;
  return table_.write([&](Table& t) -> R {
    const auto it = t.records.find(variable_name);
    if (it == t.records.end()) return unexpected(not_started(variable_name));
    MigrationState& record = it->second;
    if (record.stage >= kMigrationDone) return unexpected(already_complete(variable_name));
    Result<Timestamp> now = read_timestamp(*clock_);
    if (!now) return unexpected(std::move(now).error());

    const auto next = static_cast<uint8_t>(record.stage + 1);
    R result = move_to_stage(record, next, now->text(), discrepancy_count, keys_migrated, out);
    if (next == kMigrationDone) --t.active;
    return result;
  });
}

template <class Out>
typename Out::Result MigrationController::rollback_with(std::string_view variable_name, Out& out) {
  using R = typename Out::Result;
  return table_.write([&](Table& t) -> R {
    const auto it = t.records.find(variable_name);
    if (it == t.records.end()) return unexpected(not_started(variable_name));
    MigrationState& record = it->second;
    if (record.stage == 0) {
      return unexpected(
          MeshError::migration("Already at initial stage \xE2\x80\x94 cannot roll back further"));
    }
    if (record.stage >= kMigrationDone) {
      return unexpected(MeshError::migration("Cannot roll back a completed migration"));
    }
    Result<Timestamp> now = read_timestamp(*clock_);
    if (!now) return unexpected(std::move(now).error());

    return move_to_stage(record, static_cast<uint8_t>(record.stage - 1), now->text(), 0, 0, out);
  });
}

Result<MigrationState> MigrationController::start(std::string_view variable_name,
                                                  std::string_view source_backend,
                                                  std::string_view target_backend) {
  CopyOut out;
  return start_with(variable_name, source_backend, target_backend, out);
}

Result<void> MigrationController::start(std::string_view variable_name,
                                        std::string_view source_backend,
                                        std::string_view target_backend, std::string& json) {
  JsonOut out{json};
  return start_with(variable_name, source_backend, target_backend, out);
}

Result<MigrationState> MigrationController::advance(std::string_view variable_name,
                                                    uint64_t discrepancy_count,
                                                    uint64_t keys_migrated) {
  CopyOut out;
  return advance_with(variable_name, discrepancy_count, keys_migrated, out);
}

Result<void> MigrationController::advance(std::string_view variable_name,
                                          uint64_t discrepancy_count, uint64_t keys_migrated,
                                          std::string& json) {
  JsonOut out{json};
  return advance_with(variable_name, discrepancy_count, keys_migrated, out);
}

Result<MigrationState> MigrationController::rollback(std::string_view variable_name) {
  CopyOut out;
  return rollback_with(variable_name, out);
}

Result<void> MigrationController::rollback(std::string_view variable_name, std::string& json) {
  JsonOut out{json};
  return rollback_with(variable_name, out);
}

Result<bool> MigrationController::write_json(std::string_view variable_name,
                                             std::string& out) const {
  return table_.read([&](const Table& t) -> Result<bool> {
    const auto it = t.records.find(variable_name);
    if (it == t.records.end()) return false;
    it->second.write_json(out);
    return true;
  });
}

Result<void> MigrationController::write_list_json(std::string& out) const {
  return table_.read([&](const Table& t) -> Result<void> {
    out += '[';
    bool first = true;
    for (const auto& [name, record] : t.records) {
      if (!first) out += ',';
      first = false;
      record.write_json(out);
    }
    out += ']';
    return {};
  });
}

Result<std::optional<MigrationState>> MigrationController::get(
    std::string_view variable_name) const {
  return table_.read([&](const Table& t) -> Result<std::optional<MigrationState>> {
    const auto it = t.records.find(variable_name);
    if (it == t.records.end()) return std::optional<MigrationState>();
    return std::optional<MigrationState>(it->second);
  });
}

Result<std::vector<MigrationState>> MigrationController::list_all() const {
  return table_.read([](const Table& t) -> Result<std::vector<MigrationState>> {
    std::vector<MigrationState> all;
    all.reserve(t.records.size());
    for (const auto& [name, record] : t.records) all.push_back(record);
    return all;
  });
}

uint64_t MigrationController::count_active() const noexcept {
  return table_.read_or(0, [](const Table& t) noexcept { return t.active; });
}

}  // namespace vrell
