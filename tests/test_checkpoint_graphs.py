"""Checkpoints of small graphs of callback nodes, compared as exact dicts."""

import pytest

from korvalinth import Graph

SENTINEL = {"kind": "SENTINEL"}
NO_CTX_STATE = {"persist": False, "value": SENTINEL}
LOCAL_ONLY_REASON = "node was not constructed with restore metadata"


def data(value):
    return {"data": value, "kind": "DATA"}


def record(id, *, deps=(), factory, status="settled", value=SENTINEL, activated=True, called=True,
           ctx_state=NO_CTX_STATE, terminal="none", counter=0, named=True):
    out = {
        "ctxState": ctx_state,
        "deps": list(deps),
        "factory": factory,
        "id": id,
        "lifecycle": {"activated": activated, "hasCalledFnOnce": called},
        "status": status,
        "terminal": {"kind": terminal},
        "value": value,
        "version": {"counter": counter, "level": 0},
    }
    if named:
        out["name"] = id
    return out


def local_only(kind):
    return {"kind": "local-only", "name": kind, "reason": LOCAL_ONLY_REASON}


STATE = {"kind": "registry-ref", "ref": "state"}


def edges(*pairs):
    return [{"from": a, "to": b} for a, b in pairs]


def test_state_computed_and_derived_with_restore_ref_and_persisted_ctx_state():
    graph = Graph("g")
    a = graph.state(1, name="a")

    def double(ctx):
        ctx.set_state({"n": ctx.data_entry(0)[1]})
        ctx.state_persist()
        ctx.emit(ctx.data_entry(0)[1] * 2)

    n = graph.node([a], double, name="n", restore_ref="double", restore_config={"k": [2]},
                   restore_config_version=1)
    d = graph.derived([n], lambda v: v + 1, name="d")
    sub = d.subscribe(lambda kind, payload: None)
    assert graph.checkpoint() == {
        "edges": edges(("a", "n"), ("n", "d")),
        "name": "g",
        "nodes": [
            record("a", factory=STATE, value=data(1), called=False),
            record("n", deps=["a"],
                   factory={"config": {"k": [2]}, "configVersion": 1, "kind": "registry-ref", "ref": "double"},
                   value=data(2), ctx_state={"persist": True, "value": data({"n": 1})}, counter=1),
            record("d", deps=["n"], factory=local_only("derived"), value=data(3), counter=1),
        ],
        "version": "korvalinth.checkpoint.v1",
    }
    # The persisted ctx state outlives the deactivation; the values go.
    sub.unsubscribe()
    nodes = graph.checkpoint()["nodes"]
    assert nodes[1]["ctxState"] == {"persist": True, "value": data({"n": 1})}
    assert nodes[1]["value"] == SENTINEL and nodes[1]["lifecycle"] == {"activated": False, "hasCalledFnOnce": False}


def test_a_restore_ref_without_config_and_an_unpersisted_ctx_state():
    graph = Graph()
    a = graph.state(1, name="a")
    n = graph.node([a], lambda ctx: (ctx.set_state("x"), ctx.emit(1)), name="n", restore_ref="r")
    sub = n.subscribe(lambda kind, payload: None)
    assert graph.checkpoint()["nodes"][1] == record(
        "n", deps=["a"], factory={"kind": "registry-ref", "ref": "r"}, value=data(1),
        ctx_state={"persist": False, "value": data("x")}, counter=1)
    sub.unsubscribe()
    assert graph.checkpoint()["nodes"][1] == record(
        "n", deps=["a"], factory={"kind": "registry-ref", "ref": "r"}, status="sentinel", activated=False,
        called=False, counter=1)


def test_nodes_never_activated_and_generated_ids():
    graph = Graph()
    a = graph.state_empty()
    graph.node([a], lambda ctx: ctx.emit(1))
    assert graph.checkpoint() == {
        "edges": edges(("state#0", "node#1")),
        "nodes": [
            record("state#0", factory=STATE, status="sentinel", activated=False, called=False, named=False),
            record("node#1", deps=["state#0"], factory=local_only("node"), status="sentinel", activated=False,
                   called=False, named=False),
        ],
        "version": "korvalinth.checkpoint.v1",
    }


def test_producer_effect_and_a_completed_node():
    graph = Graph()
    p = graph.producer(lambda: 5, name="p")
    e = graph.effect([p], lambda v: None, name="e")
    c = graph.node([p], lambda ctx: ctx._conformance_down_complete(), name="c")
    subs = [e.subscribe(lambda kind, payload: None), c.subscribe(lambda kind, payload: None)]
    assert graph.checkpoint() == {
        "edges": edges(("p", "e"), ("p", "c")),
        "nodes": [
            record("p", factory=local_only("producer"), value=data(5), counter=1),
            record("e", deps=["p"], factory=local_only("effect"), status="sentinel"),
            record("c", deps=["p"], factory=local_only("node"), status="completed", terminal="COMPLETE"),
        ],
        "version": "korvalinth.checkpoint.v1",
    }
    assert len(subs) == 2


def test_refusals_of_small_graphs():
    graph = Graph()
    a = graph.state(1, name="a")
    failed = graph.derived([a], lambda v: 1 / 0, name="f")
    sub = failed.subscribe(lambda kind, payload: None)
    with pytest.raises(ValueError) as info:
        graph.checkpoint()
    assert str(info.value) == "checkpoint: ERROR payload for node 'f' is unavailable; cannot serialize a placeholder"

    graph = Graph()
    a = graph.state(1, name="a")
    n = graph.node([a], lambda ctx: (ctx.set_state({1, 2}), ctx.emit(1)), name="n")
    sub = n.subscribe(lambda kind, payload: None)
    with pytest.raises(ValueError) as info:
        graph.checkpoint()
    assert str(info.value) == (
        "checkpoint: value at n.ctxState is not strict JSON compatible: "
        "ValueError: checkpoint value is not strict JSON compatible"
    )
