// Plan: the solved deployment plan, parsed once at construction and written
// back unchanged by plan_json().
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "hashing.h"
#include "json.h"

namespace vrell {

struct BackendSpec {
  std::string backend_type;
  json::Value config;  // null when absent
};

struct Plan {
  std::string app_name;
  // Iteration order comes from the keyed hash: neither sorted nor stable
  // between processes.
  KeyedMap<BackendSpec> backends;
  std::vector<std::string> functions;
  std::vector<std::string> agents;

  // Whitespace (Unicode White_Space) is trimmed from both ends; an empty text
  // or exactly "{}" gives the default plan. Failures are Serialization errors
  // whose positions count in the trimmed text.
  static Result<Plan> from_json(std::string_view text);

  // Compact JSON: app_name, backends (map order), functions, agents.
  void write_json(std::string& out) const;
};

}  // namespace vrell
