#include "plan.h"

#include <array>
#include <new>
#include <utility>

namespace vrell {
namespace {

// Unicode White_Space beyond ASCII, as UTF-8.
constexpr std::array<std::string_view, 19> kWideWhiteSpace = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

bool is_ascii_white_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the White_Space character that `s` starts (at_front) or ends with, else 0.
size_t white_space_at(std::string_view s, bool at_front) noexcept {
  if (s.empty()) return 0;
  if (is_ascii_white_space(at_front ? s.front() : s.back())) return 1;
  auto matches = [&](std::string_view w) { return at_front ? s.starts_with(w) : s.ends_with(w); };
  for (std::string_view w : kWideWhiteSpace) {
    if (matches(w)) return w.size();
  }
  return 0;
}

std::string_view trim_white_space(std::string_view s) noexcept {
  while (size_t n = white_space_at(s, true)) s.remove_prefix(n);
  while (size_t n = white_space_at(s, false)) s.remove_suffix(n);
  return s;
}

constexpr std::array<std::string_view, 4> kPlanFields = {"app_name", "backends", "functions",
                                                         "agents"};
constexpr std::array<std::string_view, 2> kBackendFields = {"backend_type", "config"};
constexpr std::string_view kPlanExpected = "struct Plan with 4 elements";
constexpr std::string_view kBackendExpected = "struct BackendSpec with 2 elements";

// How an "invalid type" message names a value, from its canonical text.
std::string describe(std::string_view canonical) {
  std::string d;
  switch (canonical.empty() ? 'n' : canonical.front()) {
    case 'n':
      d = "null";
      break;
    case 't':
    case 'f':
      d.append("boolean `").append(canonical).append("`");
      break;
    case '"':
      d.append("string ").append(canonical);
      break;
    default:  // canonical floats always carry a point or an exponent
      d.append(canonical.find_first_of(".e") == std::string_view::npos ? "integer `"
                                                                       : "floating point `");
      d.append(canonical).append("`");
      break;
  }
  return d;
}

// Reads a plan straight from the text with the JSON reader's primitives, so
// that grammar faults, the depth limit and positions match any other document.
// Every step returns false once the reader holds an error.
class PlanParser {
 public:
  explicit PlanParser(std::string_view text) noexcept : r_(text) {}

  bool parse(Plan& plan) {
    if (!plan_record(plan)) return false;
    r_.skip_ws();
    if (!r_.at_end()) return r_.fail_here(json::ErrorCode::TrailingCharacters);
    return true;
  }

  json::Error take_error() noexcept { return r_.take_error(); }

 private:
  bool plan_record(Plan& plan) {
    return record(kPlanExpected, kPlanFields, [&](size_t field) {
      switch (field) {
        case 0:
          return string_value(plan.app_name);
        case 1:
          return backend_map(plan.backends);
        case 2:
          return string_list(plan.functions);
        default:
          return string_list(plan.agents);
      }
    });
  }

  bool backend_record(BackendSpec& spec) {
    return record(kBackendExpected, kBackendFields, [&](size_t field) {
      if (field == 0) return string_value(spec.backend_type);
      std::string config;
      if (!r_.read_value(config)) return false;
      spec.config = json::Value::from_canonical(std::move(config));
      return true;
    });
  }

  // A record is an object of named fields or an array of the fields in
  // order. The first field is required; the others keep their defaults.
  template <size_t N, class ReadField>
  bool record(std::string_view expected, const std::array<std::string_view, N>& names,
              ReadField&& read_field) {
    if (!at_value()) return false;
    if (r_.peek() == '[') return record_array(expected, N, read_field);
    if (r_.peek() != '{') return wrong_kind(expected);
    std::array<bool, N> seen{};
    const bool ok = members([&](std::string& key, size_t key_end) {
      for (size_t i = 0; i < N; ++i) {
        if (key != names[i]) continue;
        if (seen[i]) return r_.fail(key_end, json::ErrorCode::DuplicateField, key);
        seen[i] = true;
        return read_field(i);
      }
      scratch_.clear();
      return r_.read_value(scratch_);
    });
    if (!ok) return false;
    // The closing brace has just been read.
    if (!seen[0]) {
      return r_.fail(r_.offset(), json::ErrorCode::MissingField, std::string(names[0]));
    }
    return true;
  }

  template <class ReadField>
  bool record_array(std::string_view expected, size_t fields, ReadField& read_field) {
    if (!r_.begin_array()) return false;
    size_t count = 0;
    bool more = true;
    while (count < fields) {
      if (!r_.next_element(count == 0, more)) return false;
      if (!more) break;
      if (!read_field(count)) return false;
      ++count;
    }
    if (more) {
      // Every field was read: whatever follows other than the closing bracket is surplus.
      r_.skip_ws();
      if (r_.at_end()) return r_.fail_here(json::ErrorCode::EofList);
      if (r_.peek() == ',') {
        r_.bump();
        r_.skip_ws();
        const bool closes = !r_.at_end() && r_.peek() == ']';
        return r_.fail_here(closes ? json::ErrorCode::TrailingComma
                                   : json::ErrorCode::TrailingCharacters);
      }
      if (r_.peek() != ']') return r_.fail_here(json::ErrorCode::TrailingCharacters);
    }
    r_.end_array();
    if (count == 0)
      return r_.fail(r_.offset(), json::ErrorCode::InvalidLength, std::string(expected));
    return true;
  }

  bool backend_map(KeyedMap<BackendSpec>& backends) {
    if (!at_value()) return false;
    if (r_.peek() != '{') return wrong_kind("a map");
    return members([&](std::string& name, size_t) {
      BackendSpec backend;
      if (!backend_record(backend)) return false;
      backends.insert_or_assign(std::move(name), std::move(backend));
      return true;
    });
  }

  bool string_list(std::vector<std::string>& out) {
    if (!at_value()) return false;
    if (r_.peek() != '[') return wrong_kind("a sequence");
    if (!r_.begin_array()) return false;
    for (bool first = true;; first = false) {
      bool more = false;
      if (!r_.next_element(first, more)) return false;
      if (!more) break;
      std::string item;
      if (!string_value(item)) return false;
      out.push_back(std::move(item));
    }
    r_.end_array();
    return true;
  }

  bool string_value(std::string& out) {
    if (!at_value()) return false;
    if (r_.peek() != '"') return wrong_kind("a string");
    out.clear();
    return r_.read_string(out);
  }

  // Skips whitespace before a value; fails at the end of input.
  bool at_value() {
    r_.skip_ws();
    if (r_.at_end()) return r_.fail_here(json::ErrorCode::EofValue);
    return true;
  }

  // REQUIRES: a value starts at the current offset. Arrays and objects are
  // refused at their opening bracket without being read; scalars are read
  // first so that the message can show them.
  bool wrong_kind(std::string_view expected) {
    std::string found;
    const char c = r_.peek();
    if (c == '[') {
      found = "sequence";
    } else if (c == '{') {
      found = "map";
    } else {
      scratch_.clear();
      if (!r_.read_value(scratch_)) return false;
      found = describe(scratch_);
    }
    found.append(", expected ").append(expected);
    return r_.fail(r_.offset(), json::ErrorCode::InvalidType, std::move(found));
  }

  // REQUIRES: peek() == '{'. Calls on_member(key, offset after the key) with
  // the reader before the member's value; leaves it after the closing brace.
  template <class OnMember>
  bool members(OnMember&& on_member) {
    if (!r_.begin_object()) return false;
    std::string key;
    for (bool first = true;; first = false) {
      bool more = false;
      if (!r_.next_member(first, more)) return false;
      if (!more) break;
      key.clear();
      if (!r_.read_string(key)) return false;
      const size_t key_end = r_.offset();
      if (!r_.member_colon()) return false;
      if (!on_member(key, key_end)) return false;
    }
    r_.end_object();
    return true;
  }

  json::Reader r_;
  std::string scratch_;  // skipped members and values shown in messages
};

void write_strings(std::string& out, const std::vector<std::string>& items) {
  out.push_back('[');
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out.push_back(',');
    json::write_string(out, items[i]);
  }
  out.push_back(']');
}

}  // namespace

Result<Plan> Plan::from_json(std::string_view text) {
  try {
    text = trim_white_space(text);
    Plan plan;
    if (text.empty() || text == "{}") return plan;
    PlanParser parser(text);
    if (!parser.parse(plan)) {
      return unexpected(MeshError::serialization(parser.take_error().text(text)));
    }
    return plan;
  } catch (const std::bad_alloc&) {
    return unexpected(MeshError::out_of_memory());
  }
}

void Plan::write_json(std::string& out) const {
  out.append("{\"app_name\":");
  json::write_string(out, app_name);
  out.append(",\"backends\":{");
  bool first = true;
  for (const auto& [name, spec] : backends) {
    if (!first) out.push_back(',');
    first = false;
    json::write_string(out, name);
    out.append(":{\"backend_type\":");
    json::write_string(out, spec.backend_type);
    out.append(",\"config\":");
    out.append(spec.config.text());
    out.push_back('}');
  }
  out.append("},\"functions\":");
  write_strings(out, functions);
  out.append(",\"agents\":");
  write_strings(out, agents);
  out.push_back('}');
}

}  // namespace vrell
