// MeshError: the one error type of every component.
//
// Eight kinds belong to the public contract, each with a fixed text and a fixed
// Python exception (chosen by the binding). Two more kinds describe internal
// faults that are not errors of any operation's contract: Panic (a broken
// invariant, raised as PanicException) and OutOfMemory (raised as MemoryError).
#pragma once

#include <string>
#include <string_view>

#include "result.h"

namespace vrell {

enum class ErrorKind : unsigned char {
  AgentNotFound,
  AlreadyRegistered,
  InvalidPlan,
  MethodNotFound,
  State,
  Migration,
  Serialization,
  Channel,
  Panic,
  OutOfMemory,
};

class MeshError {
 public:
  static MeshError agent_not_found(std::string_view agent_type, std::string_view agent_id);
  static MeshError already_registered(std::string_view agent_id);
  static MeshError invalid_plan(std::string_view message);
  static MeshError method_not_found(std::string_view method, std::string_view agent_type);
  static MeshError state(std::string_view message);
  static MeshError migration(std::string_view message);
  static MeshError serialization(std::string_view message);
  static MeshError channel(std::string_view message);
  static MeshError panic(std::string_view message);
  static MeshError out_of_memory();

  ErrorKind kind() const noexcept { return kind_; }
  bool is_fault() const noexcept { return kind_ >= ErrorKind::Panic; }

  // The error's text exactly as Python sees it: no kind name, no newline.
  std::string text() const;

 private:
  MeshError(ErrorKind kind, std::string_view a, std::string_view b = {})
      : kind_(kind), a_(a), b_(b) {}

  ErrorKind kind_;
  std::string a_;
  std::string b_;
};

template <class T>
using Result = Expected<T, MeshError>;

}  // namespace vrell
