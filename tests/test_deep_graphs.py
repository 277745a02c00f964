"""Graphs deeper than the native stack: a subscription or a set on a long
chain either delivers or gives a clear error (an ERROR message or a raised
RuntimeError), never a crash; everything can be unsubscribed and dropped
afterwards."""

import gc
import threading

import pytest

from korvalinth._native import Graph

DEPTH_ERROR = "graph: call depth exceeds the native stack; the graph is too deep for synchronous delivery"


def chain(length):
    graph = Graph()
    source = graph.state(0)
    nodes = [source]
    for _ in range(length):
        nodes.append(graph.derived([nodes[-1]], lambda x: x + 1))
    return graph, nodes


def subscribe(node):
    """(messages seen, subscription or None, text of a raised RuntimeError or None)"""
    seen = []
    try:
        return seen, node.subscribe(lambda kind, payload: seen.append((kind, payload))), None
    except RuntimeError as e:
        return seen, None, str(e)


def delivered_or_depth_error(seen, raised, value):
    if raised is not None:
        return raised == DEPTH_ERROR
    return seen[-1] in (("DATA", value), ("ERROR", DEPTH_ERROR))


def drop_and_check_runtime_still_works(*refs):
    del refs
    gc.collect()
    graph = Graph()
    s = graph.state(1)
    seen, sub, raised = subscribe(graph.derived([s], lambda x: x * 2))
    assert raised is None and seen == [("START", None), ("DATA", 2)]
    sub.unsubscribe()


@pytest.mark.parametrize("length", [5_000, 50_000])
def test_a_long_chain_delivers_or_gives_the_depth_error(length):
    graph, nodes = chain(length)
    seen, sub, raised = subscribe(nodes[-1])
    assert delivered_or_depth_error(seen, raised, length), (seen[-3:], raised)
    try:
        nodes[0].set(7)
        raised = None
    except RuntimeError as e:
        raised = str(e)
    assert delivered_or_depth_error(seen, raised, length + 7), (seen[-3:], raised)
    if sub is not None:
        sub.unsubscribe()
    assert all(n.status() in ("sentinel", "settled", "errored") for n in nodes[1:])
    drop_and_check_runtime_still_works(graph, nodes, sub)


def test_a_chain_activated_in_steps_errors_on_a_set_too_deep_and_tears_down():
    graph, nodes = chain(20_000)
    subs = []
    for i in range(500, len(nodes), 500):
        seen, sub, raised = subscribe(nodes[i])
        assert raised is None and seen == [("START", None), ("DATA", i)]
        subs.append((seen, sub))
    with pytest.raises(RuntimeError, match="^graph: call depth exceeds the native stack"):
        nodes[0].set(1)
    assert nodes[0].status() == "errored"
    assert subs[0][0][-1] == ("ERROR", DEPTH_ERROR)
    for _, sub in subs:
        sub.unsubscribe()
    assert {n.status() for n in nodes[1:]} == {"sentinel"}
    drop_and_check_runtime_still_works(graph, nodes, subs)


def test_a_thread_with_a_small_stack_gets_the_depth_error_where_the_main_thread_delivers():
    graph, nodes = chain(2000)
    seen, sub, raised = subscribe(nodes[-1])
    assert raised is None and seen[-1] == ("DATA", 2000)
    sub.unsubscribe()
    outcome = {}

    def on_thread():
        # Nodes belong to the thread that made them.
        thread_graph, thread_nodes = chain(2000)
        thread_seen, thread_sub, thread_raised = subscribe(thread_nodes[-1])
        outcome["error"] = thread_raised or thread_seen[-1]
        if thread_sub is not None:
            thread_sub.unsubscribe()
        outcome["statuses"] = {n.status() for n in thread_nodes[1:]}

    old = threading.stack_size(1 << 20)
    try:
        thread = threading.Thread(target=on_thread)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert outcome["error"] in (DEPTH_ERROR, ("ERROR", DEPTH_ERROR))
    assert outcome["statuses"] <= {"sentinel", "errored"}
    drop_and_check_runtime_still_works(graph, nodes, sub)
