#include "migration.h"

#include <algorithm>
#include <array>
#include <utility>

#include "json.h"

namespace vrell {

namespace {

MeshError in_progress(std::string_view name, uint8_t stage) {
  std::string message = "Migration for '";
  message += name;
  message += "' already in progress at stage ";
  message += std::to_string(stage);
  message += " (";
  message += kStageNames[stage];
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

constexpr size_t longest_stage_name() {
  size_t n = 0;
  for (std::string_view name : kStageNames) n = std::max(n, name.size());
  return n;
}

template <class Record>
void apply_stage(Record& record, uint8_t stage, Instant now, uint64_t discrepancies,
                 uint64_t keys) noexcept {
  record.stage = stage;
  write_timestamp(now, record.advanced_at);
  // Unsigned: wraps modulo 2^64 by design.
  record.discrepancy_count += discrepancies;
  record.keys_migrated += keys;
}

// A state's members from a record: those fixed at start, then those a change
// may touch (which allocate nothing when the state has room for them).
template <class Record>
void copy_names(MigrationState& s, std::string_view name, const Record& r,
                std::string_view app_name) {
  s.variable_name = name;
  s.source_backend = r.source_backend();
  s.target_backend = r.target_backend();
  s.app_name = app_name;
}
template <class Record>
void copy_changing(MigrationState& s, const Record& r) {
  s.stage = r.stage;
  s.stage_name = kStageNames[r.stage];
  s.started_at = r.started_at.text();
  s.advanced_at = r.advanced_at.text();
  s.discrepancy_count = r.discrepancy_count;
  s.keys_migrated = r.keys_migrated;
}

template <class Record>
MigrationState state_of(std::string_view name, const Record& r, std::string_view app_name) {
  MigrationState s;
  copy_names(s, name, r, app_name);
  copy_changing(s, r);
  return s;
}

// What a changing operation hands back: a copy of the record, or its JSON
// appended to a string. Either is prepared before the table changes (the
// copy made with room for what changes, the string's room reserved), so a
// failed allocation leaves the table as it was.
struct CopyOut {
  using Result = vrell::Result<MigrationState>;
  std::string_view app_name;
  MigrationState copy;
  // The names now; what changes gets room, to be filled without allocating.
  template <class Record>
  void prepare(std::string_view name, const Record& record) {
    copy_names(copy, name, record, app_name);
    copy.stage_name.reserve(longest_stage_name());
    copy.started_at.reserve(Timestamp::kCapacity);
    copy.advanced_at.reserve(Timestamp::kCapacity);
  }
  template <class Record>
  Result finish(const Record& r) {
    copy_changing(copy, r);
    return std::move(copy);
  }
};

// The record's JSON: a head made once at start, the changing members, and the
// controller's tail.
constexpr std::string_view kHeadPieces[] = {
    "{\"variable_name\":",
    ",\"source_backend\":",
    ",\"target_backend\":",
    ",\"stage\":",
};
constexpr std::string_view kStageNamePiece = ",\"stage_name\":\"";
constexpr std::string_view kStartedPiece = "\",\"started_at\":\"";
constexpr std::string_view kAdvancedPiece = "\",\"advanced_at\":\"";
constexpr std::string_view kDiscrepancyPiece = "\",\"discrepancy_count\":";
constexpr std::string_view kKeysPiece = ",\"keys_migrated\":";
constexpr std::string_view kAppNamePiece = ",\"app_name\":";

// A stage name's room: each is copied as this many bytes.
constexpr size_t kStageNameRoom = 16;
static_assert(longest_stage_name() <= kStageNameRoom);

// At most what lies between head and tail, at any stage: the stage number,
// the pieces, the stage name, two timestamps and two counters of 20 digits.
constexpr size_t kMiddleBound = 3 + kStageNamePiece.size() + kStageNameRoom + kStartedPiece.size() +
                                kAdvancedPiece.size() + 2 * Timestamp::kCapacity +
                                kDiscrepancyPiece.size() + kKeysPiece.size() + 2 * 20;

// `extra`: room for what the caller appends next.
void append_head(std::string& out, std::string_view variable_name, std::string_view source_backend,
                 std::string_view target_backend, size_t extra = 0) {
  // Room for names that need no escape, which is nearly every name.
  size_t size = 6 + variable_name.size() + source_backend.size() + target_backend.size() + extra;
  for (std::string_view piece : kHeadPieces) size += piece.size();
  out.reserve(out.size() + size);
  out += kHeadPieces[0];
  json::write_string(out, variable_name);
  out += kHeadPieces[1];
  json::write_string(out, source_backend);
  out += kHeadPieces[2];
  json::write_string(out, target_backend);
  out += kHeadPieces[3];
}

// The spare bytes at the end of a head or tail, and the text before them.
void pad(std::string& text) { text.append(kMigrationCopySlack, '\0'); }
std::string_view unpadded(std::string_view text) noexcept {
  return text.substr(0, text.size() - kMigrationCopySlack);
}

// The tail, padded.
std::string json_tail(std::string_view app_name) {
  std::string tail(kAppNamePiece);
  json::write_string(tail, app_name);
  tail += '}';
  pad(tail);
  return tail;
}

// The stage names, each in its room: copied whole.
struct PaddedName {
  char text[kStageNameRoom];
  size_t size;
};
constexpr auto kPaddedStageNames = [] {
  std::array<PaddedName, kStageNames.size()> names{};
  for (size_t i = 0; i < names.size(); ++i) {
    std::copy(kStageNames[i].begin(), kStageNames[i].end(), names[i].text);
    names[i].size = kStageNames[i].size();
  }
  return names;
}();

// The members that change, as write_record takes them: a state's texts, or a
// record's, whose fixed-size buffers are copied whole.
struct Middle {
  uint8_t stage;
  std::string_view stage_name, started_at, advanced_at;
  uint64_t discrepancy_count, keys_migrated;
};
struct RecordMiddle {
  uint8_t stage;
  const Timestamp &started_at, &advanced_at;
  uint64_t discrepancy_count, keys_migrated;
};

Middle middle_of(const MigrationState& s) noexcept {
  return {s.stage, s.stage_name, s.started_at, s.advanced_at, s.discrepancy_count, s.keys_migrated};
}

template <class Record>
RecordMiddle middle_of(const Record& r) noexcept {
  return {r.stage, r.started_at, r.advanced_at, r.discrepancy_count, r.keys_migrated};
}

void put_stage(json::RawWriter& w, const Middle& m) noexcept {
  w.u64(m.stage);
  w.raw(kStageNamePiece);
  w.raw(m.stage_name);
}
void put_stage(json::RawWriter& w, const RecordMiddle& m) noexcept {
  // A stage is one digit.
  w.put(static_cast<char>('0' + m.stage));
  w.raw(kStageNamePiece);
  const PaddedName& name = kPaddedStageNames[m.stage];
  w.padded<sizeof name.text>(name.text, name.size);
}
void put_time(json::RawWriter& w, std::string_view text) noexcept { w.raw(text); }
void put_time(json::RawWriter& w, const Timestamp& t) noexcept {
  w.padded<Timestamp::kCapacity>(t.buffer(), t.text().size());
}

// The room write_record takes beyond head and tail.
constexpr size_t kWriteBound = kMiddleBound + 2 * kMigrationCopySlack;

// Appends head, the members that change, and tail. The stage name and the
// timestamps are written as this controller made them (such text needs no
// escape). Allocates only when the room reserved falls short.
// REQUIRES: head and tail are each followed by kMigrationCopySlack readable bytes.
template <class M>
void write_record(std::string_view head, const M& m, std::string_view tail, std::string& out) {
  json::RawWriter w(out, head.size() + kWriteBound + tail.size());
  w.blocks(head);
  put_stage(w, m);
  w.raw(kStartedPiece);
  put_time(w, m.started_at);
  w.raw(kAdvancedPiece);
  put_time(w, m.advanced_at);
  w.raw(kDiscrepancyPiece);
  w.u64(m.discrepancy_count);
  w.raw(kKeysPiece);
  w.u64(m.keys_migrated);
  w.blocks(tail);
}

}  // namespace

void MigrationState::write_json(std::string& out) const {
  std::string head;
  append_head(head, variable_name, source_backend, target_backend, kMigrationCopySlack);
  pad(head);
  write_record(unpadded(head), middle_of(*this), unpadded(json_tail(app_name)), out);
}

size_t MigrationState::json_size_bound() const noexcept {
  // The pieces and the closing brace; each name between quotes, a byte of it
  // escaping to at most six; what changes, as long as it can become.
  size_t n = kWriteBound + kAppNamePiece.size() + 1;
  for (std::string_view piece : kHeadPieces) n += piece.size();
  for (size_t text :
       {variable_name.size(), source_backend.size(), target_backend.size(), app_name.size()}) {
    n += 2 + 6 * text;
  }
  return n;
}

namespace {

struct JsonOut {
  using Result = vrell::Result<void>;
  std::string& out;
  std::string_view tail;
  template <class Record>
  void prepare(std::string_view, const Record& r) {
    out.reserve(out.size() + r.json_head().size() + kWriteBound + tail.size());
  }
  template <class Record>
  Result finish(const Record& r) {
    write_record(r.json_head(), middle_of(r), tail, out);
    return {};
  }
};

// Moves a stored record to `stage`; strong guarantee as above: only the
// preparation may allocate.
template <class Record, class Out>
typename Out::Result move_to_stage(std::string_view name, Record& record, uint8_t stage,
                                   Instant now, uint64_t discrepancies, uint64_t keys, Out& out) {
  out.prepare(name, record);
  apply_stage(record, stage, now, discrepancies, keys);
  return out.finish(record);
}

}  // namespace

MigrationController::MigrationController(std::string app_name, const Clock& clock)
    : app_name_(std::move(app_name)),
      json_tail_(json_tail(app_name_)),
      clock_(&clock),
      table_(MeshError::migration("lock poisoned")) {}

template <class Out>
typename Out::Result MigrationController::start_with(std::string_view variable_name,
                                                     std::string_view source_backend,
                                                     std::string_view target_backend, Out& out) {
  using R = typename Out::Result;
  return table_.write([&](Table& t) -> R {
    const HashedKey key(variable_name);
    const auto it = t.records.find(key);
    if (it != t.records.end() && it->second.stage < kMigrationDone) {
      return unexpected(in_progress(variable_name, it->second.stage));
    }
    const Instant now = clock_->now();
    if (Result<void> ok = check_timestamp(now); !ok) return unexpected(std::move(ok).error());

    Record record;
    append_head(record.text, variable_name, source_backend, target_backend,
                source_backend.size() + target_backend.size() + kMigrationCopySlack);
    record.head_size = record.text.size();
    record.text += source_backend;
    record.text += target_backend;
    pad(record.text);
    record.source_size = source_backend.size();
    out.prepare(variable_name, record);

    Record* stored;
    if (it != t.records.end()) {
      // A completed record gives way to the new run.
      it->second = std::move(record);
      stored = &it->second;
    } else {
      stored = &t.records.try_emplace(key, std::move(record)).first->second;
    }
    // The one reading, written twice: the same text without reading either back.
    write_timestamp(now, stored->started_at);
    write_timestamp(now, stored->advanced_at);
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
    Record& record = it->second;
    if (record.stage >= kMigrationDone) return unexpected(already_complete(variable_name));
    const Instant now = clock_->now();
    if (Result<void> ok = check_timestamp(now); !ok) return unexpected(std::move(ok).error());

    const auto next = static_cast<uint8_t>(record.stage + 1);
    R result =
        move_to_stage(variable_name, record, next, now, discrepancy_count, keys_migrated, out);
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
    Record& record = it->second;
    const uint8_t stage = record.stage;
    if (stage == 0) {
      return unexpected(
          MeshError::migration("Already at initial stage \xE2\x80\x94 cannot roll back further"));
    }
    if (stage >= kMigrationDone) {
      return unexpected(MeshError::migration("Cannot roll back a completed migration"));
    }
    const Instant now = clock_->now();
    if (Result<void> ok = check_timestamp(now); !ok) return unexpected(std::move(ok).error());

    return move_to_stage(variable_name, record, static_cast<uint8_t>(stage - 1), now, 0, 0, out);
  });
}

Result<MigrationState> MigrationController::start(std::string_view variable_name,
                                                  std::string_view source_backend,
                                                  std::string_view target_backend) {
  CopyOut out{app_name_, {}};
  return start_with(variable_name, source_backend, target_backend, out);
}

Result<void> MigrationController::start(std::string_view variable_name,
                                        std::string_view source_backend,
                                        std::string_view target_backend, std::string& json) {
  JsonOut out{json, unpadded(json_tail_)};
  return start_with(variable_name, source_backend, target_backend, out);
}

Result<MigrationState> MigrationController::advance(std::string_view variable_name,
                                                    uint64_t discrepancy_count,
                                                    uint64_t keys_migrated) {
  CopyOut out{app_name_, {}};
  return advance_with(variable_name, discrepancy_count, keys_migrated, out);
}

Result<void> MigrationController::advance(std::string_view variable_name,
                                          uint64_t discrepancy_count, uint64_t keys_migrated,
                                          std::string& json) {
  JsonOut out{json, unpadded(json_tail_)};
  return advance_with(variable_name, discrepancy_count, keys_migrated, out);
}

Result<MigrationState> MigrationController::rollback(std::string_view variable_name) {
  CopyOut out{app_name_, {}};
  return rollback_with(variable_name, out);
}

Result<void> MigrationController::rollback(std::string_view variable_name, std::string& json) {
  JsonOut out{json, unpadded(json_tail_)};
  return rollback_with(variable_name, out);
}

Result<bool> MigrationController::write_json(std::string_view variable_name,
                                             std::string& out) const {
  return table_.read([&](const Table& t) -> Result<bool> {
    const auto it = t.records.find(variable_name);
    if (it == t.records.end()) return false;
    write_record(it->second.json_head(), middle_of(it->second), unpadded(json_tail_), out);
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
      write_record(record.json_head(), middle_of(record), unpadded(json_tail_), out);
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
    return std::optional<MigrationState>(state_of(it->first, it->second, app_name_));
  });
}

Result<std::vector<MigrationState>> MigrationController::list_all() const {
  return table_.read([&](const Table& t) -> Result<std::vector<MigrationState>> {
    std::vector<MigrationState> all;
    all.reserve(t.records.size());
    for (const auto& [name, record] : t.records) all.push_back(state_of(name, record, app_name_));
    return all;
  });
}

uint64_t MigrationController::count_active() const noexcept {
  return table_.read_or(0, [](const Table& t) noexcept { return t.active; });
}

}  // namespace vrell
