"""A tiny agent framework on top of vrell_mesh.

Agents are plain Python classes. The framework registers their instances with
the mesh, asks the mesh to route every call (which validates the target and
marks it running), performs the call itself and marks the agent idle again (or
error, if the call raised). Agents keep their data in the mesh's shared state
store and publish events. The carts, a storage variable, are then moved from
sqlite to redis through every stage of a staged migration, including a
rollback when the shadow reads disagree, and finally the mesh's health
snapshot is printed.

Fully typed: `mypy --strict examples/agent_app.py` passes with the installed
package.
"""

from __future__ import annotations

import json
from typing import Any, Callable

from vrell_mesh import VrellMesh

PLAN = json.dumps(
    {
        "app_name": "shop",
        "backends": {
            "primary": {"backend_type": "sqlite", "config": {"path": "shop.db"}},
            "cache": {"backend_type": "redis", "config": {"url": "redis://localhost"}},
        },
        "functions": ["checkout"],
        "agents": ["Customer", "Inventory"],
    }
)

CARTS = "shop.Carts"


class CartStore:
    """The storage variable `shop.Carts`: one JSON cart per customer in the mesh's shared
    state (the sqlite side). While a migration of the variable is between its first stage and
    cleanup, every write is shadowed into `redis`, a dict standing in for the target backend."""

    def __init__(self, mesh: VrellMesh) -> None:
        self.mesh = mesh
        self.redis: dict[str, str] = {}

    def key(self, customer: str) -> str:
        return f"cart/{customer}"

    def get(self, customer: str) -> dict[str, int]:
        cart: dict[str, int] = json.loads(self.mesh.state_get(self.key(customer)) or "{}")
        return cart

    def put(self, customer: str, cart: dict[str, int]) -> None:
        key = self.key(customer)
        self.mesh.state_set(key, json.dumps(cart))
        if self.shadowing():
            # The mesh hands back the normalised text, so both sides hold identical bytes.
            self.redis[key] = self.mesh.state_get(key) or "null"

    def shadowing(self) -> bool:
        text = self.mesh.get_migration(CARTS)
        return text is not None and 1 <= json.loads(text)["stage"] <= 5

    def backfill(self) -> int:
        """Copies the carts written before shadowing began; returns how many were copied."""
        copied = 0
        for key in self.mesh.state_keys("cart/"):
            value = self.mesh.state_get(key) or "null"
            if self.redis.get(key) != value:
                self.redis[key] = value
                copied += 1
        return copied

    def discrepancies(self) -> int:
        return sum(
            self.redis.get(k) != self.mesh.state_get(k) for k in self.mesh.state_keys("cart/")
        )


class Agent:
    """Base of the framework's agents: an instance knows its framework and its id."""

    def __init__(self, fw: Framework, agent_id: str) -> None:
        self.fw, self.agent_id = fw, agent_id


class Customer(Agent):
    def add_to_cart(self, sku: str, qty: int = 1) -> dict[str, int]:
        cart = self.fw.carts.get(self.agent_id)
        cart[sku] = cart.get(sku, 0) + qty
        self.fw.carts.put(self.agent_id, cart)
        self.fw.mesh.publish("cart.updated", json.dumps({"customer": self.agent_id, "sku": sku}))
        return cart


class Inventory(Agent):
    def restock(self, sku: str, qty: int) -> int:
        key = f"stock/{sku}"
        level: int = json.loads(self.fw.mesh.state_get(key) or "0") + qty
        self.fw.mesh.state_set(key, json.dumps(level))
        return level

    def reserve(self, sku: str, qty: int) -> int:
        level: int = json.loads(self.fw.mesh.state_get(f"stock/{sku}") or "0")
        if level < qty:
            raise ValueError(f"only {level} of {sku!r} in stock")
        return self.restock(sku, -qty)


class Framework:
    """Owns the mesh and the live agent objects; dispatches calls."""

    def __init__(self, plan_json: str) -> None:
        self.mesh = VrellMesh("shop", plan_json)
        self.carts = CartStore(self.mesh)
        self.instances: dict[str, Agent] = {}

    def spawn(self, cls: type[Agent], agent_id: str, replica: int = 0, **metadata: str) -> None:
        self.mesh.register_agent(cls.__name__, agent_id, replica, json.dumps(metadata))
        self.instances[agent_id] = cls(self, agent_id)
        self.mesh.update_agent_status(agent_id, "idle")

    def call(self, agent_type: str, agent_id: str, method: str, **kwargs: Any) -> Any:
        # The mesh refuses unknown, stopped and failed agents and marks the target running;
        # it checks neither the type nor the method, so the framework does.
        route = json.loads(
            self.mesh.route_agent_call(agent_type, agent_id, method, json.dumps(kwargs))
        )
        agent = self.instances[route["agent_id"]]
        if type(agent).__name__ != route["agent_type"]:
            self.mesh.update_agent_status(agent_id, "idle")
            raise TypeError(f"{agent_id} is not a {route['agent_type']}")
        try:
            result = getattr(agent, route["method"])(**kwargs)
        except Exception:
            self.mesh.update_agent_status(agent_id, "error")
            raise
        self.mesh.update_agent_status(agent_id, "idle")
        return result


def migrate_carts(fw: Framework, traffic: Callable[[str], None]) -> None:
    """Moves the carts from sqlite to redis stage by stage. `traffic` runs in every stage, as
    the application keeps serving while the migration goes on: whatever it writes past the
    shadowing shows up as a discrepancy in the shadow reads, which sends the migration back to
    shadow_write to copy it again."""
    mesh = fw.mesh
    state = json.loads(mesh.start_migration(CARTS, "sqlite", "redis"))
    mismatched = 0
    while state["stage_name"] != "done":
        stage = state["stage_name"]
        print(f"migration stage {state['stage']} ({stage})")
        copied = 0
        if stage == "shadow_write":
            copied = fw.carts.backfill()
        traffic(stage)
        if stage == "shadow_read":
            found = fw.carts.discrepancies()
            if found:
                mismatched += found
                state = json.loads(mesh.rollback_migration(CARTS))
                print(f"  {found} cart(s) differ: rolled back to {state['stage_name']}")
                continue
        reported = mismatched if stage == "shadow_read" else 0
        state = json.loads(mesh.advance_migration(CARTS, reported, copied))
    print(
        f"migration {state['stage_name']}: {state['keys_migrated']} keys copied, "
        f"{state['discrepancy_count']} discrepancies"
    )


def main() -> None:
    fw = Framework(PLAN)
    mesh = fw.mesh
    print(repr(mesh))

    fw.spawn(Customer, "customer-123", region="eu")
    fw.spawn(Customer, "customer-456", region="us")
    fw.spawn(Inventory, "inventory-0")

    print("cart:", fw.call("Customer", "customer-123", "add_to_cart", sku="tea", qty=2))
    print("cart:", fw.call("Customer", "customer-123", "add_to_cart", sku="mug"))
    print("cart:", fw.call("Customer", "customer-456", "add_to_cart", sku="tea"))
    print("stock:", fw.call("Inventory", "inventory-0", "restock", sku="tea", qty=40))

    print("reserved, left:", fw.call("Inventory", "inventory-0", "reserve", sku="tea", qty=3))
    try:
        fw.call("Inventory", "inventory-0", "reserve", sku="mug", qty=1)
    except ValueError as failed:
        print("failed:", failed, "->", json.loads(mesh.get_agent("inventory-0") or "{}")["status"])
    mesh.update_agent_status("inventory-0", "idle")  # an operator restarts it

    mesh.update_agent_status("customer-456", "stopped")
    try:
        fw.call("Customer", "customer-456", "add_to_cart", sku="tea")
    except KeyError as refused:
        print("refused:", refused.args[0])

    print("state keys:", mesh.state_keys())
    print(
        "idle customers:", [a["agent_id"] for a in json.loads(mesh.list_agents("Customer", "idle"))]
    )

    def traffic(stage: str) -> None:
        if stage == "shadow_write" and "cart/customer-789" not in fw.carts.redis:
            # A write that goes straight to the state store, past CartStore's shadowing: the
            # shadow reads will catch it.
            mesh.state_set("cart/customer-789", '{"scone": 1}')
        elif stage == "dual_read":
            fw.call("Customer", "customer-123", "add_to_cart", sku="jam")

    migrate_carts(fw, traffic)
    print("redis now holds:", sorted(fw.carts.redis))
    print("migrations:", mesh.list_migrations())

    print(repr(mesh))
    print("health:", mesh.health_snapshot())


if __name__ == "__main__":
    main()
