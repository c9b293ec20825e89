#include "registry.h"

#include <utility>

namespace vrell {
namespace {

constexpr std::array<std::string_view, kAgentStatusCount> kStatusTexts = {
    "starting", "running", "idle", "stopping", "stopped", "error"};

constexpr size_t slot(AgentStatus status) noexcept { return static_cast<size_t>(status); }

struct ListFilter {
  std::optional<std::string_view> agent_type;
  std::optional<std::string_view> status;

  bool keeps(const AgentEntry& entry) const noexcept {
    return (!agent_type || entry.agent_type == *agent_type) &&
           (!status || status_text(entry.status) == *status);
  }
};

}  // namespace

std::string_view status_text(AgentStatus status) noexcept { return kStatusTexts[slot(status)]; }

std::optional<AgentStatus> parse_status(std::string_view text) noexcept {
  for (size_t i = 0; i < kStatusTexts.size(); ++i) {
    if (kStatusTexts[i] == text) return static_cast<AgentStatus>(i);
  }
  return std::nullopt;
}

// What stands before each member's value in an entry's JSON form, in order:
// the writer and its bound both read them from here.
constexpr std::string_view kPieces[] = {
    "{\"agent_id\":",      ",\"agent_type\":",  ",\"status\":",   ",\"instance\":",
    ",\"registered_at\":", ",\"last_active\":", ",\"metadata\":",
};

void AgentEntry::write_json(std::string& out) const {
  json::RawWriter w(out, json_size_bound());
  w.raw(kPieces[0]);
  w.string(agent_id);
  w.raw(kPieces[1]);
  w.string(agent_type);
  w.raw(kPieces[2]);
  w.plain_string(status_text(status));
  w.raw(kPieces[3]);
  w.u64(instance);
  w.raw(kPieces[4]);
  w.plain_string(registered_at);
  w.raw(kPieces[5]);
  w.plain_string(last_active);
  w.raw(kPieces[6]);
  w.raw(metadata.text());
  w.put('}');
}

size_t AgentEntry::json_size_bound() const noexcept {
  // The pieces and the closing brace; the id and type between quotes, a byte
  // of them escaping to at most six; the status, the timestamps and the
  // metadata as they stand; the instance's digits.
  size_t n = 1;
  for (std::string_view piece : kPieces) n += piece.size();
  n += 2 + 6 * agent_id.size() + 2 + 6 * agent_type.size();
  n += 2 + status_text(status).size() + 2 + registered_at.size() + 2 + last_active.size();
  return n + metadata.text().size() + 20;
}

AgentRegistry::AgentRegistry(const Clock& clock)
    : clock_(&clock), table_(MeshError::state("registry lock poisoned")) {}

Result<AgentEntry> AgentRegistry::register_agent(std::string_view agent_type,
                                                 std::string_view agent_id, uint32_t instance,
                                                 std::optional<json::Value> metadata) {
  return table_.write([&](Table& t) -> Result<AgentEntry> {
    if (t.entries.find(agent_id) != t.entries.end()) {
      return unexpected(MeshError::already_registered(agent_id));
    }
    Result<Timestamp> now = read_timestamp(*clock_);
    if (!now) return unexpected(std::move(now).error());

    // Everything that allocates happens before the table changes.
    AgentEntry entry;
    entry.agent_id = agent_id;
    entry.agent_type = agent_type;
    entry.instance = instance;
    entry.registered_at = now->text();
    // Room for any four-digit-year reading: refreshing it never reallocates.
    entry.last_active.reserve(kTimestampLength);
    entry.last_active = now->text();
    entry.metadata = metadata ? std::move(*metadata) : json::Value::empty_object();
    AgentEntry result = entry;
    std::string key(agent_id);

    t.entries.emplace(std::move(key), std::move(entry));
    ++t.by_status[slot(AgentStatus::Starting)];
    return result;
  });
}

Result<void> AgentRegistry::deregister(std::string_view agent_id) {
  return table_.write([&](Table& t) -> Result<void> {
    const auto it = t.entries.find(agent_id);
    if (it == t.entries.end()) return {};
    --t.by_status[slot(it->second.status)];
    t.entries.erase(it);
    return {};
  });
}

Result<void> AgentRegistry::set_status(Table& t, AgentEntry& entry, AgentStatus status) const {
  Result<Timestamp> now = read_timestamp(*clock_);
  if (!now) return unexpected(std::move(now).error());
  // The only step that may allocate (a timestamp longer than the room
  // reserved); string assignment changes nothing when it throws.
  entry.last_active.assign(now->text());
  --t.by_status[slot(entry.status)];
  ++t.by_status[slot(status)];
  entry.status = status;
  return {};
}

Result<void> AgentRegistry::update_status(const HashedKey& agent_id, AgentStatus status) {
  return table_.write([&](Table& t) -> Result<void> {
    const auto it = t.entries.find(agent_id);
    if (it == t.entries.end()) return unexpected(MeshError::agent_not_found("", agent_id.text));
    return set_status(t, it->second, status);
  });
}

Result<void> AgentRegistry::route(const HashedKey& agent_id, std::string_view agent_type) {
  return table_.write([&](Table& t) -> Result<void> {
    const auto it = t.entries.find(agent_id);
    if (it == t.entries.end() || it->second.status == AgentStatus::Stopped ||
        it->second.status == AgentStatus::Error) {
      return unexpected(MeshError::agent_not_found(agent_type, agent_id.text));
    }
    return set_status(t, it->second, AgentStatus::Running);
  });
}

Result<std::optional<AgentEntry>> AgentRegistry::get(std::string_view agent_id) const {
  return table_.read([&](const Table& t) -> Result<std::optional<AgentEntry>> {
    const auto it = t.entries.find(agent_id);
    if (it == t.entries.end()) return std::optional<AgentEntry>();
    return std::optional<AgentEntry>(it->second);
  });
}

Result<std::vector<AgentEntry>> AgentRegistry::list(std::optional<std::string_view> agent_type,
                                                    std::optional<std::string_view> status) const {
  const ListFilter filter{agent_type, status};
  return table_.read([&](const Table& t) -> Result<std::vector<AgentEntry>> {
    std::vector<AgentEntry> kept;
    for (const auto& [id, entry] : t.entries) {
      if (!filter.keeps(entry)) continue;
      if (kept.empty()) kept.reserve(4);
      kept.push_back(entry);
    }
    return kept;
  });
}

Result<bool> AgentRegistry::write_entry_json(std::string_view agent_id, std::string& out) const {
  return table_.read([&](const Table& t) -> Result<bool> {
    const auto it = t.entries.find(agent_id);
    if (it == t.entries.end()) return false;
    it->second.write_json(out);
    return true;
  });
}

Result<void> AgentRegistry::write_list_json(std::optional<std::string_view> agent_type,
                                            std::optional<std::string_view> status,
                                            std::string& out) const {
  const ListFilter filter{agent_type, status};
  return table_.read([&](const Table& t) -> Result<void> {
    out += '[';
    bool first = true;
    for (const auto& [id, entry] : t.entries) {
      if (!filter.keeps(entry)) continue;
      if (!first) out += ',';
      first = false;
      entry.write_json(out);
    }
    out += ']';
    return {};
  });
}

uint64_t AgentRegistry::count_by_status(std::string_view status) const noexcept {
  const std::optional<AgentStatus> wanted = parse_status(status);
  if (!wanted) return 0;
  return table_.read_or(0, [&](const Table& t) noexcept { return t.by_status[slot(*wanted)]; });
}

uint64_t AgentRegistry::count() const noexcept {
  return table_.read_or(0, [](const Table& t) noexcept -> uint64_t { return t.entries.size(); });
}

AgentCounts AgentRegistry::counts() const noexcept {
  return table_.read_or(AgentCounts{}, [](const Table& t) noexcept {
    return AgentCounts{t.entries.size(), t.by_status[slot(AgentStatus::Running)],
                       t.by_status[slot(AgentStatus::Idle)], t.by_status[slot(AgentStatus::Error)]};
  });
}

}  // namespace vrell
