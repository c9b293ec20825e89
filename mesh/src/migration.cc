#include "migration.h"

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

// Moves a stored record to `stage` and returns its copy. Strong guarantee:
// the only allocations (room for the new texts, the copy) come first, so the
// stored record changes only once nothing can fail.
MigrationState move_to_stage(MigrationState& record, uint8_t stage, std::string_view now,
                             uint64_t discrepancies, uint64_t keys) {
  record.stage_name.reserve(kStageNames[stage].size());
  record.advanced_at.reserve(now.size());
  MigrationState result = record;
  apply_stage(result, stage, now, discrepancies, keys);
  apply_stage(record, stage, now, discrepancies, keys);
  return result;
}

}  // namespace

void MigrationState::write_json(std::string& out) const {
  out += "{\"variable_name\":";
  json::write_string(out, variable_name);
  out += ",\"source_backend\":";
  json::write_string(out, source_backend);
  out += ",\"target_backend\":";
  json::write_string(out, target_backend);
  out += ",\"stage\":";
  json::write_u64(out, stage);
  out += ",\"stage_name\":";
  json::write_string(out, stage_name);
  out += ",\"started_at\":";
  json::write_string(out, started_at);
  out += ",\"advanced_at\":";
  json::write_string(out, advanced_at);
  out += ",\"discrepancy_count\":";
  json::write_u64(out, discrepancy_count);
  out += ",\"keys_migrated\":";
  json::write_u64(out, keys_migrated);
  out += ",\"app_name\":";
  json::write_string(out, app_name);
  out += '}';
}

MigrationController::MigrationController(std::string app_name, const Clock& clock)
    : app_name_(std::move(app_name)),
      clock_(&clock),
      table_(MeshError::migration("lock poisoned")) {}

Result<MigrationState> MigrationController::start(std::string_view variable_name,
                                                  std::string_view source_backend,
                                                  std::string_view target_backend) {
  return table_.write([&](Table& t) -> Result<MigrationState> {
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
    MigrationState result = record;

    if (it != t.records.end()) {
      // A completed record gives way to the new run.
      it->second = std::move(record);
    } else {
      std::string key(variable_name);
      t.records.emplace(std::move(key), std::move(record));
    }
    ++t.active;
    return result;
  });
}

Result<MigrationState> MigrationController::advance(std::string_view variable_name,
                                                    uint64_t discrepancy_count,
                                                    uint64_t keys_migrated) {
  return table_.write([&](Table& t) -> Result<MigrationState> {
    const auto it = t.records.find(variable_name);
    if (it == t.records.end()) return unexpected(not_started(variable_name));
    MigrationState& record = it->second;
    if (record.stage >= kMigrationDone) return unexpected(already_complete(variable_name));
    Result<Timestamp> now = read_timestamp(*clock_);
    if (!now) return unexpected(std::move(now).error());

    const auto next = static_cast<uint8_t>(record.stage + 1);
    MigrationState result =
        move_to_stage(record, next, now->text(), discrepancy_count, keys_migrated);
    if (next == kMigrationDone) --t.active;
    return result;
  });
}

Result<MigrationState> MigrationController::rollback(std::string_view variable_name) {
  return table_.write([&](Table& t) -> Result<MigrationState> {
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

    return move_to_stage(record, static_cast<uint8_t>(record.stage - 1), now->text(), 0, 0);
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
