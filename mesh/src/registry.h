// AgentRegistry: the mesh's table of agent instances, keyed by agent id.
//
// Thread safety: every operation may be called from any thread; each takes the
// registry's lock once (shared for lookups, exclusive for changes) and hands
// out copies. Once a write section fails fatally (the clock before 1970) the
// registry is poisoned for good: operations fail with State "registry lock
// poisoned" and counts read 0.
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
#include "json.h"

namespace vrell {

enum class AgentStatus : unsigned char { Starting, Running, Idle, Stopping, Stopped, Error };

inline constexpr size_t kAgentStatusCount = 6;

// The only spelling of each status: "starting", "running", ... "error".
std::string_view status_text(AgentStatus status) noexcept;
// Exact, case-sensitive match of one of the six texts.
std::optional<AgentStatus> parse_status(std::string_view text) noexcept;

struct AgentEntry {
  std::string agent_id;
  std::string agent_type;
  AgentStatus status = AgentStatus::Starting;
  uint32_t instance = 0;
  std::string registered_at;
  std::string last_active;
  json::Value metadata;

  // The seven members in this fixed order (not sorted). The timestamps are
  // written as format_timestamp made them (such text needs no escape).
  void write_json(std::string& out) const;
  // What write_json appends at most.
  size_t json_size_bound() const noexcept;
};

struct AgentCounts {
  uint64_t total = 0;
  uint64_t running = 0;
  uint64_t idle = 0;
  uint64_t error = 0;
};

class AgentRegistry {
 public:
  explicit AgentRegistry(const Clock& clock = SystemClock::instance());

  // Metadata absent: an empty object. An id already present fails with
  // AlreadyRegistered and leaves the existing entry as it was.
  Result<AgentEntry> register_agent(std::string_view agent_type, std::string_view agent_id,
                                    uint32_t instance, std::optional<json::Value> metadata);
  // An absent id is no error.
  Result<void> deregister(std::string_view agent_id);
  // Sets the status and refreshes last_active, also when the status is unchanged.
  // An absent id fails with AgentNotFound("", id).
  Result<void> update_status(const HashedKey& agent_id, AgentStatus status);
  Result<std::optional<AgentEntry>> get(std::string_view agent_id) const;
  // Entries in the map's iteration order; filters compare byte for byte.
  Result<std::vector<AgentEntry>> list(std::optional<std::string_view> agent_type,
                                       std::optional<std::string_view> status) const;

  // Copy-free forms of get and list for callers that only want the JSON text:
  // append it to `out` under the shared lock. write_entry_json gives false for
  // an absent id and appends nothing then.
  Result<bool> write_entry_json(std::string_view agent_id, std::string& out) const;
  Result<void> write_list_json(std::optional<std::string_view> agent_type,
                               std::optional<std::string_view> status, std::string& out) const;
  // Routing a call to an agent: an absent, stopped or errored agent is refused
  // with AgentNotFound(agent_type, id), where agent_type is the caller's (it
  // is not compared with the registered type); any other is marked running
  // and its last_active refreshed. One exclusive section, so that no status
  // change can fall between the check and the mark.
  Result<void> route(const HashedKey& agent_id, std::string_view agent_type);

  // Never fail: 0 when poisoned. Constant time (counts are kept up to date).
  uint64_t count_by_status(std::string_view status) const noexcept;
  uint64_t count() const noexcept;
  AgentCounts counts() const noexcept;

 private:
  friend struct TestAccess;
  struct Table {
    KeyedMap<AgentEntry> entries;
    std::array<uint64_t, kAgentStatusCount> by_status{};
  };
  // Sets the status and refreshes last_active. REQUIRES: t's lock held exclusively.
  Result<void> set_status(Table& t, AgentEntry& entry, AgentStatus status) const;

  const Clock* clock_;
  Guarded<Table> table_;
};

}  // namespace vrell
