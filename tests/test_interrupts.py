"""Interrupts (a BaseException that is not an Exception) raised in a wave.
One raised while a subscribe activates nodes: the subscribe raises it, and
the graph then works exactly as a twin graph on which that subscribe never
happened (but for the version counters of nodes that emitted meanwhile:
versions count every emission and outlive deactivation). One raised while
a set runs: what the wave had delivered is not lost to later runs."""

import pytest

from korvalinth import Graph


def interrupting_once(fn, armed):
    """fn, raising KeyboardInterrupt on its first call when armed."""
    calls = []

    def wrapped(*args):
        calls.append(args)
        if armed and len(calls) == 1:
            raise KeyboardInterrupt
        return fn(*args)

    return wrapped


def emit_sum(ctx):
    ctx.emit(sum(ctx.data_entry(i)[1] for i in range(ctx.dep_len()) if ctx.data_entry(i)[0]))


def sum_over_two(armed):
    """The interrupt in the function of the node subscribed to."""
    g = Graph()
    s0, s1 = g.state(0, name="s0"), g.state(1, name="s1")
    d2 = g.derived([s0, s1], lambda a, b: a + b, name="d2")
    d3 = g.derived([d2], interrupting_once(lambda x: x * 2, armed), name="d3")
    return g, d3, [s0, s1, d2, d3], lambda: (s0.set(4), s1.set(7))


def shared_dep(armed):
    """The interrupt in the first run of a dep that two nodes share."""
    g = Graph()
    s = g.state(1, name="s")
    n1 = g.derived([s], interrupting_once(lambda x: x + 1, armed), name="n1")
    n2 = g.node([n1, s], emit_sum, name="n2")
    n3 = g.derived([n2, n1], lambda a, b: a * b, name="n3")
    return g, n3, [s, n1, n2, n3], lambda: s.set(100)


def source_run(armed):
    """The interrupt in a producer's run at activation."""
    g = Graph()
    p = g.producer(interrupting_once(lambda: 5, armed), name="p")
    s = g.state(2, name="s")
    m = g.derived([p, s], lambda a, b: a + b, name="m")
    return g, m, [p, s, m], lambda: s.set(3)


def subscriber_start(armed):
    """The interrupt in the new subscriber itself, on START."""
    g = Graph()
    s = g.state(1, name="s")
    d = g.derived([s], lambda x: -x, name="d")
    return g, d, [s, d], lambda: s.set(2)


SHAPES = [sum_over_two, shared_dep, source_run, subscriber_start]


def observed(nodes, follow_up):
    """Subscribes a recorder to every node, runs follow_up, and gives what
    each recorder saw with each node's status and cache."""
    logs = [[] for _ in nodes]
    subs = [n.subscribe(lambda k, p, log=log: log.append((k, p))) for n, log in zip(nodes, logs)]
    follow_up()
    outcome = [(log, n.status(), n.cache_entry()) for n, log in zip(nodes, logs)]
    for sub in subs:
        sub.unsubscribe()
    return outcome


@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: s.__name__)
def test_the_graph_works_as_if_the_interrupted_subscribe_never_happened(shape):
    graph, target, nodes, follow_up = shape(armed=True)
    if shape is subscriber_start:
        sink = interrupting_once(lambda k, p: None, armed=True)
    else:
        sink = lambda k, p: None  # noqa: E731
    with pytest.raises(KeyboardInterrupt):
        target.subscribe(sink)
    twin_graph, _, twin_nodes, twin_follow_up = shape(armed=False)
    assert [n.status() for n in nodes] == [n.status() for n in twin_nodes]
    assert observed(nodes, follow_up) == observed(twin_nodes, twin_follow_up)
    assert graph.describe() == twin_graph.describe()
    assert without_versions(graph.checkpoint()) == without_versions(twin_graph.checkpoint())


def without_versions(checkpoint):
    for node in checkpoint["nodes"]:
        del node["version"]
    return checkpoint


def test_a_node_interrupted_in_a_set_computes_with_every_dep_value_afterwards():
    # The interrupted wave had delivered s0's 4 to d: d's next run, started
    # by s1, must see it, not the 0 from before.
    g = Graph()
    s0, s1 = g.state(0, name="s0"), g.state(1, name="s1")
    runs = []

    def add(a, b):
        runs.append((a, b))
        if len(runs) == 2:
            raise KeyboardInterrupt
        return a + b

    d = g.derived([s0, s1], add, name="d")
    sub = d.subscribe(lambda k, p: None)
    with pytest.raises(KeyboardInterrupt):
        s0.set(4)
    s1.set(7)
    assert runs[-1] == (4, 7)
    assert (d.status(), d.cache()) == ("settled", 11)
    sub.unsubscribe()
