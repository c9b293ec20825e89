#include "error.h"

namespace vrell {

MeshError MeshError::agent_not_found(std::string_view agent_type, std::string_view agent_id) {
  return {ErrorKind::AgentNotFound, agent_type, agent_id};
}
MeshError MeshError::already_registered(std::string_view agent_id) {
  return {ErrorKind::AlreadyRegistered, agent_id};
}
MeshError MeshError::invalid_plan(std::string_view message) {
  return {ErrorKind::InvalidPlan, message};
}
MeshError MeshError::method_not_found(std::string_view method, std::string_view agent_type) {
  return {ErrorKind::MethodNotFound, method, agent_type};
}
MeshError MeshError::state(std::string_view message) { return {ErrorKind::State, message}; }
MeshError MeshError::migration(std::string_view message) { return {ErrorKind::Migration, message}; }
MeshError MeshError::serialization(std::string_view message) {
  return {ErrorKind::Serialization, message};
}
MeshError MeshError::channel(std::string_view message) { return {ErrorKind::Channel, message}; }
MeshError MeshError::panic(std::string_view message) { return {ErrorKind::Panic, message}; }
MeshError MeshError::out_of_memory() { return {ErrorKind::OutOfMemory, {}}; }

std::string MeshError::text() const {
  switch (kind_) {
    case ErrorKind::AgentNotFound:
      return "Agent '" + a_ + "/" + b_ + "' not found in registry";
    case ErrorKind::AlreadyRegistered:
      return "Agent '" + a_ + "' is already registered";
    case ErrorKind::InvalidPlan:
      return "Invalid plan: " + a_;
    case ErrorKind::MethodNotFound:
      return "Method '" + a_ + "' not found on agent type '" + b_ + "'";
    case ErrorKind::State:
      return "State error: " + a_;
    case ErrorKind::Migration:
      return "Migration error: " + a_;
    case ErrorKind::Serialization:
      return "Serialization error: " + a_;
    case ErrorKind::Channel:
      return "Channel error: " + a_;
    case ErrorKind::Panic:
      return a_;
    case ErrorKind::OutOfMemory:
      return "out of memory";
  }
  return a_;
}

}  // namespace vrell
