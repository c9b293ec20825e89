"""A tiny agent framework on top of vrell_mesh.

Agents are plain Python classes. The framework registers their instances with
the mesh, asks the mesh to route every call (which validates the target and
marks it running), performs the call itself, keeps shared state in the mesh's
state store, publishes events, moves a storage variable through a staged
migration, and finally prints the mesh's health snapshot.
"""

import json

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


class Customer:
    def __init__(self, mesh, agent_id):
        self.mesh, self.agent_id = mesh, agent_id

    def add_to_cart(self, sku, qty=1):
        key = f"cart/{self.agent_id}"
        cart = json.loads(self.mesh.state_get(key) or "{}")
        cart[sku] = cart.get(sku, 0) + qty
        self.mesh.state_set(key, json.dumps(cart))
        self.mesh.publish("cart.updated", json.dumps({"customer": self.agent_id, "sku": sku}))
        return cart


class Inventory:
    def __init__(self, mesh, agent_id):
        self.mesh, self.agent_id = mesh, agent_id

    def restock(self, sku, qty):
        key = f"stock/{sku}"
        level = json.loads(self.mesh.state_get(key) or "0") + qty
        self.mesh.state_set(key, json.dumps(level))
        return level


class Framework:
    """Owns the mesh and the live agent objects; dispatches calls."""

    def __init__(self, plan_json):
        self.mesh = VrellMesh("shop", plan_json)
        self.instances = {}

    def spawn(self, cls, agent_id, replica=0, **metadata):
        self.mesh.register_agent(cls.__name__, agent_id, replica, json.dumps(metadata))
        self.instances[agent_id] = cls(self.mesh, agent_id)
        self.mesh.update_agent_status(agent_id, "idle")

    def call(self, agent_type, agent_id, method, **kwargs):
        route = json.loads(self.mesh.route_agent_call(agent_type, agent_id, method, json.dumps(kwargs)))
        result = getattr(self.instances[route["agent_id"]], route["method"])(**kwargs)
        self.mesh.update_agent_status(agent_id, "idle")
        return result


def main():
    fw = Framework(PLAN)
    mesh = fw.mesh
    print(repr(mesh))

    fw.spawn(Customer, "customer-123", region="eu")
    fw.spawn(Customer, "customer-456", region="us")
    fw.spawn(Inventory, "inventory-0")

    print("cart:", fw.call("Customer", "customer-123", "add_to_cart", sku="tea", qty=2))
    print("cart:", fw.call("Customer", "customer-123", "add_to_cart", sku="mug"))
    print("stock:", fw.call("Inventory", "inventory-0", "restock", sku="tea", qty=40))

    mesh.update_agent_status("customer-456", "stopped")
    try:
        fw.call("Customer", "customer-456", "add_to_cart", sku="tea")
    except KeyError as refused:
        print("refused:", refused.args[0])

    print("state keys:", mesh.state_keys("cart/"))
    print("agent:", mesh.get_agent("customer-123"))

    # Move the carts from sqlite to redis through every stage of a migration.
    state = json.loads(mesh.start_migration("shop.Carts", "sqlite", "redis"))
    while state["stage_name"] != "done":
        copied = len(mesh.state_keys("cart/"))
        state = json.loads(mesh.advance_migration("shop.Carts", 0, copied))
        print(f"migration stage {state['stage']} ({state['stage_name']}), keys migrated {state['keys_migrated']}")

    print(repr(mesh))
    print("health:", mesh.health_snapshot())


if __name__ == "__main__":
    main()
