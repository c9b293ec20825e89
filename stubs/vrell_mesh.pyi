"""Python module `vrell_mesh`."""

from typing import final

__all__ = ["VrellMesh", "__version__"]

__version__: str

@final
class VrellMesh:
    """The runtime mesh for a Vrell application.

    Create one per application process (Python):

    ```python
    mesh = VrellMesh("myapp", plan_json)
    ```

    All methods are synchronous and GIL-aware — they release the GIL during
    any blocking work.
    """

    def __new__(cls, app_name: str, plan_json: str = "") -> VrellMesh: ...
    @property
    def app_name(self) -> str:
        """Application name."""
    def register_agent(
        self, agent_type: str, agent_id: str, instance: int = 0, metadata_json: str | None = None
    ) -> str:
        """Register a new agent instance.

        Args:
            agent_type:    Agent class name.
            agent_id:      Unique agent identifier.
            instance:      Replica index (0-based).
            metadata_json: Optional JSON-encoded metadata.

        Returns:
            JSON string of the created agent entry.

        Raises:
            RuntimeError: If the agent ID is already registered.
        """
    def update_agent_status(self, agent_id: str, status: str) -> None:
        """Update the status of a registered agent.

        Args:
            agent_id: Agent identifier.
            status:   One of starting, running, idle, stopping, stopped, error.

        Raises:
            ValueError: If the status string is not recognised.
            KeyError: If the agent ID is not registered.
        """
    def deregister_agent(self, agent_id: str) -> None:
        """Deregister an agent.  No-op if the ID does not exist."""
    def get_agent(self, agent_id: str) -> str | None:
        """Look up an agent by ID.

        Returns:
            JSON string of the agent entry, or ``None`` if not found.
        """
    def list_agents(self, agent_type: str | None = None, status: str | None = None) -> str:
        """List agents, optionally filtered.

        Args:
            agent_type: Only agents of this type.
            status:     Only agents in this status.

        Returns:
            JSON array of agent entries.
        """
    def route_agent_call(
        self, agent_type: str, agent_id: str, method: str, args_json: str = "{}"
    ) -> str:
        """Route a call to an agent and return routing metadata as JSON.

        Args:
            agent_type: Agent class name.
            agent_id:   Target agent identifier.
            method:     Method to call.
            args_json:  JSON-encoded arguments.

        Returns:
            JSON routing descriptor.

        Raises:
            KeyError: If the agent is not registered or has stopped.
        """
    def state_get(self, key: str) -> str | None:
        """Get a value from the shared state store.

        Returns:
            JSON string for the value, or ``None`` if the key does not exist.
        """
    def state_set(self, key: str, value_json: str) -> None:
        """Set a value in the shared state store.

        Args:
            key:        Arbitrary string key.
            value_json: JSON-encoded value to store.
        """
    def state_delete(self, key: str) -> None:
        """Delete a key from the state store.  No-op if the key does not exist."""
    def state_exists(self, key: str) -> bool:
        """Check whether a key exists in the state store."""
    def state_keys(self, prefix: str = "") -> list[str]:
        """Return all keys that start with `prefix` (sorted)."""
    def start_migration(self, variable_name: str, source_backend: str, target_backend: str) -> str:
        """Start a zero-downtime migration for a storage variable.

        Args:
            variable_name:  Fully-qualified storage name, e.g. "counter.Counts".
            source_backend: Current backend name, e.g. "sqlite".
            target_backend: Target backend name, e.g. "redis".

        Returns:
            JSON string of the new migration state.

        Raises:
            ValueError: If a non-complete migration already exists for this variable.
        """
    def advance_migration(
        self, variable_name: str, discrepancy_count: int = 0, keys_migrated: int = 0
    ) -> str:
        """Advance a migration to its next stage.

        Args:
            variable_name:     Fully-qualified storage name.
            discrepancy_count: Number of read discrepancies observed in this stage.
            keys_migrated:     Number of keys copied during this stage.

        Returns:
            JSON string of the updated migration state.
        """
    def rollback_migration(self, variable_name: str) -> str:
        """Roll back a migration by one stage.

        Returns:
            JSON string of the updated migration state.
        """
    def get_migration(self, variable_name: str) -> str | None:
        """Get the current migration state for a variable.

        Returns:
            JSON string of the migration state, or ``None`` if there is none.
        """
    def list_migrations(self) -> str:
        """List all migrations (active and completed)."""
    def publish(self, topic: str, payload_json: str) -> int:
        """Publish a message to a topic.

        Args:
            topic:        Topic name string.
            payload_json: JSON-encoded message payload.

        Returns:
            Number of active receivers that received the message.
        """
    def health_snapshot(self) -> str:
        """Return a JSON health snapshot of the entire mesh.

        The snapshot includes agent counts by status, state-store key count,
        active migration count, and channel topic count.
        """
    def plan_json(self) -> str:
        """Return the solved plan as a JSON string."""
