// A plan that parses must write back to a text that parses to the same plan.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json.h"
#include "plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  auto plan = vrell::Plan::from_json(in);
  if (!plan) {
    if (plan.error().text().rfind("Serialization error: ", 0) != 0) std::abort();
    return 0;
  }
  std::string first;
  plan->write_json(first);
  auto again = vrell::Plan::from_json(first);
  if (!again) std::abort();
  std::string second;
  again->write_json(second);
  // Backends come out in hash order: compare the canonical (sorted) forms.
  auto a = vrell::json::parse(first);
  auto b = vrell::json::parse(second);
  if (!a || !b || a->text() != b->text()) std::abort();
  return 0;
}
