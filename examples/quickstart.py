"""Makes a graph and shows the module's version."""

import korvalinth

graph = korvalinth.Graph(name="quickstart")
print("korvalinth", korvalinth.version())
print("graph:", graph)
print("pending fatal:", graph.raise_pending_fatal())
