"""A small graph: two state nodes, a computed node, a derived node and an
effect that prints; then a batch that changes both states at once, and the
graph's checkpoint."""

import korvalinth

graph = korvalinth.Graph(name="quickstart")
price = graph.state(10, name="price")
quantity = graph.state(3, name="quantity")


def total(ctx):
    # A computed node reads its deps through its Ctx and emits through it.
    (_, p), (_, q) = ctx.data_entry(0), ctx.data_entry(1)
    ctx.emit(p * q)


total_node = graph.node([price, quantity], total, name="total")
with_tax = graph.derived([total_node], lambda t: round(t * 1.2, 2), name="with_tax")
printer = graph.effect([with_tax], lambda v: print("with tax:", v), name="printer")

subscription = printer.subscribe(lambda kind, payload: None)  # activates the chain
price.set(12)


def change_both():
    price.set(20)
    quantity.set(5)
    print("inside the batch, total is still", total_node.cache())


graph.batch(change_both)  # the effect runs once, after the batch
print("total:", total_node.cache())

# The checkpoint is plain data (dicts, lists, numbers, strings) ready for JSON.
checkpoint = graph.checkpoint()
for node in checkpoint["nodes"]:
    print(f"{node['id']:>9} {node['status']:<9} {node['value']}")
