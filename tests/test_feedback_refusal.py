"""A call made from inside a running node's callback, or from a sink while
the node delivers, is refused with the feedback-cycle error exactly where
its delivery would run that node again, before it changes anything; every
other call goes through as the delivery gives it. One table of call x graph
shape, then the cases named one by one."""

import pytest

from korvalinth import Graph

FEEDBACK = "synchronous feedback cycle: node fn re-entered its own wave (R-reentrancy / D37)"
MIXED = "down: a wave cannot mix DATA and RESOLVED (tier-3 exclusivity, R-resolved-undirty / D49)"
TERMINAL = "subscribe: node is terminal and non-resubscribable \u2014 the stream is permanently over (R-terminal / D17)"


def forward(ctx):
    ctx.emit(ctx.data_entry(0)[1])


class Scenario:
    """A source `src` (a state node, or an async source whose AsyncCtx is
    kept) with a subscriber, and a node n over it in the given shape; n's
    first run, made by its subscription, makes the call (its first DATA when
    from_sink; its rerun for a call on its own subscription). With call None
    nothing is called; with prepare_only only the call's preparing step."""

    def __init__(self, shape, source, call, from_sink=False, prepare_only=False):
        self.graph = g = Graph()
        self.shape, self.call, self.from_sink, self.prepare_only = shape, call, from_sink, prepare_only
        self.logs, self.ctxs, self.subs = {}, [], []
        self.outcome = self.unchanged = None
        self.armed = False
        if source == "async":
            self.src = g._async_source(self.ctxs.append, name="src")
        else:
            self.src = g.state(1, name="src")
        self.watch(self.src, "src")
        if self.ctxs:
            self.ctxs[0].emit(1)
        if shape == "terminal":
            self.ctxs[0].complete() if self.ctxs else self.src._down_complete()
        if shape in ("gated", "paused", "pull_gated"):
            if shape == "gated":
                x = g.node([self.src, g.state_empty(name="e")], forward, name="x")
            else:
                x = g.node([self.src], forward, name="x", pull_id="p" if shape == "pull_gated" else None)
            if shape == "paused":
                x.pause("L")
            trigger = g.state(0, name="t")
            self.n = g.node([x, trigger], self.run, name="n", partial=True)
        else:
            trigger = self.src
            self.n = g.node([self.src], self.run, name="n")
        # A call on n's own subscription needs that subscription made: n's
        # run that makes it is a rerun, its trigger a set.
        rerun = call is not None and call.startswith("subscribe n")
        self.armed = not rerun
        if shape == "batch":
            g.batch(lambda: self.watch(self.n, "n"))
        else:
            self.watch(self.n, "n")
        if rerun:
            self.armed = True
            trigger.set(1)

    def watch(self, node, tag):
        log = self.logs.setdefault(tag, [])

        def sink(kind, payload):
            log.append((kind, payload))
            if tag == "n" and kind == "DATA" and self.from_sink:
                self.call_once()

        self.subs.append(node.subscribe(sink))

    def run(self, ctx):
        if not self.from_sink:
            self.call_once()
        forward(ctx)

    def call_once(self):
        if not self.armed or self.call is None:
            return
        self.armed = False
        prepare, call = CALLS[self.call]
        prepare(self)
        if self.prepare_only:
            return
        before = self.snapshot()
        try:
            if self.shape == "batch_in_run":
                self.graph.batch(lambda: call(self))
            else:
                call(self)
        except RuntimeError as e:
            self.outcome = str(e)
        self.unchanged = self.snapshot() == before

    def snapshot(self):
        nodes = {tag: getattr(self, tag) for tag in ("src", "n")}
        return ({tag: (node.status(), node.cache_entry()) for tag, node in nodes.items()},
                {tag: list(log) for tag, log in self.logs.items() if log})

    def checkpoint(self):
        try:
            return self.graph.checkpoint()
        except ValueError:
            return None


def nothing(s):
    pass


# The calls: a step made before the call (its effect is not the call's),
# and the call. ctx is the async source's AsyncCtx.
CALLS = {
    "set": (nothing, lambda s: s.src.set(2)),
    "send": (nothing, lambda s: s.src.send(2)),
    "_set_state_by_id": (nothing, lambda s: s.graph._set_state_by_id("src", 2)),
    "_down_dirty": (nothing, lambda s: s.src._down_dirty()),
    "_down_resolved": (nothing, lambda s: s.src._down_resolved()),
    "_down_invalidate": (nothing, lambda s: s.src._down_invalidate()),
    "_down_complete": (nothing, lambda s: s.src._down_complete()),
    "_down_teardown": (nothing, lambda s: s.src._down_teardown()),
    "_down_error": (nothing, lambda s: s.src._down_error("boom")),
    "_down_data_complete": (nothing, lambda s: s.src._down_data_complete(7)),
    "_down_data_data_invalidate": (nothing, lambda s: s.src._down_data_data_invalidate(2, 3)),
    "_conformance_c22_down_data": (nothing, lambda s: s.src._conformance_c22_down_data(5)),
    "_conformance_c12_down_data_resolved": (nothing, lambda s: s.src._conformance_c12_down_data_resolved(3)),
    "subscribe src": (nothing, lambda s: s.watch(s.src, "src2")),
    "subscribe n again": (lambda s: s.subs[1].unsubscribe(), lambda s: s.watch(s.n, "n2")),
    "AsyncCtx.emit": (nothing, lambda s: s.ctxs[0].emit(2)),
    "AsyncCtx.complete": (nothing, lambda s: s.ctxs[0].complete()),
    "AsyncCtx.error": (nothing, lambda s: s.ctxs[0].error("boom")),
    "AsyncCtx.resolve": (nothing, lambda s: s.ctxs[0].resolve(2)),
}

# What each call gives from n's run in each shape: F refused with the
# feedback-cycle error, M refused with the DATA and RESOLVED mix, T refused
# as a subscribe of a terminal node, . goes through; - cannot be built (n
# reruns neither in an open batch nor over a terminal node).
#   dependent: n over src; in_sink: the same, called from n's subscriber;
#   gated / paused / pull_gated: n (partial) over x and a state t, x over
#   src and held back so (x also over an empty state when gated);
#   batch: n's run inside an open batch; batch_in_run: the call in a batch
#   n's callback opens; terminal: src completed before.
SHAPES = ["dependent", "in_sink", "gated", "paused", "pull_gated", "batch", "batch_in_run", "terminal"]
TABLE = """
                                      dependent in_sink gated paused pull_gated batch batch_in_run terminal
set                                   F         F       F     .      .          .     F            .
send                                  F         F       F     .      .          .     F            .
_set_state_by_id                      F         F       F     .      .          .     F            .
_down_dirty                           .         .       .     .      .          .     .            .
_down_resolved                        F         F       F     .      .          .     F            .
_down_invalidate                      .         .       .     .      .          .     .            .
_down_complete                        .         .       .     .      .          .     .            .
_down_teardown                        .         .       .     .      .          .     .            .
_down_error                           .         .       .     .      .          .     .            .
_down_data_complete                   .         .       F     F      .          .     .            .
_down_data_data_invalidate            F         F       F     F      .          .     F            .
_conformance_c22_down_data            F         F       F     .      .          .     F            .
_conformance_c12_down_data_resolved   M         M       M     M      M          .     M            .
subscribe src                         .         .       .     .      .          .     .            T
subscribe n again                     F         F       F     F      F          -     F            -
AsyncCtx.emit                         F         F       F     .      .          .     F            .
AsyncCtx.complete                     .         .       .     .      .          .     .            .
AsyncCtx.error                        .         .       .     .      .          .     .            .
AsyncCtx.resolve                      .         .       F     F      .          .     .            .
"""
# The batch takes the list, DIRTY goes out, and its end refuses the mix.
ENDED_BY_THE_BATCH = {("_conformance_c12_down_data_resolved", "batch_in_run")}
EXPECTED = {}
for line in TABLE.strip().splitlines()[1:]:
    words = line.rsplit(None, len(SHAPES))
    for shape, outcome in zip(SHAPES, words[1:]):
        if outcome != "-":
            EXPECTED[(words[0], shape)] = {"F": FEEDBACK, "M": MIXED, "T": TERMINAL, ".": None}[outcome]


def source_of(call):
    return "async" if call.startswith("AsyncCtx") else "state"


def state_of(scenario):
    """Every node's status and value, and what each subscriber saw."""
    return scenario.snapshot(), scenario.checkpoint()


@pytest.mark.parametrize("call, shape", list(EXPECTED), ids=[f"{c}-{s}" for c, s in EXPECTED])
def test_a_call_from_a_running_node_is_refused_exactly_where_its_delivery_would_rerun_it(call, shape):
    source, built, from_sink = source_of(call), shape.replace("in_sink", "dependent"), shape == "in_sink"
    scenario = Scenario(built, source, call, from_sink)
    assert scenario.outcome == EXPECTED[(call, shape)]
    texts = [payload for log in scenario.logs.values() for kind, payload in log if kind == "ERROR"]
    assert FEEDBACK not in texts  # no delivery failed late
    if scenario.outcome is not None and (call, shape) not in ENDED_BY_THE_BATCH:
        # Refused before anything changed: the graph goes on as if the call
        # had not been made (its preparing step aside).
        assert scenario.unchanged
        control = Scenario(built, source, call, from_sink, prepare_only=True)
        assert state_of(scenario) == state_of(control)
    elif scenario.outcome is None:
        # The call leaves its node as it does when made from outside any
        # wave (in a batch of its own for the batch shapes).
        outside = Scenario(built, source, None)
        if built.startswith("batch"):
            outside.graph.batch(lambda: CALLS[call][1](outside))
        else:
            CALLS[call][1](outside)
        assert (scenario.src.status(), scenario.src.cache_entry()) == (outside.src.status(), outside.src.cache_entry())


ENDS = [  # call, what it gives from n's run, how src and n end
    ("_conformance_c12_down_data_resolved", MIXED, ("settled", "settled")),
    ("_down_resolved", FEEDBACK, ("settled", "settled")),
    ("_down_error", None, ("errored", "errored")),
    ("_down_complete", None, ("completed", "completed")),
    ("_down_data_complete", None, ("completed", "completed")),
    ("AsyncCtx.error", None, ("errored", "errored")),
    ("AsyncCtx.complete", None, ("completed", "completed")),
]


@pytest.mark.parametrize("call, outcome, ends", ENDS, ids=[row[0] for row in ENDS])
def test_the_calls_from_the_callback_of_a_node_over_their_node_end_both_as_the_delivery_gives(call, outcome, ends):
    scenario = Scenario("dependent", source_of(call), call)
    assert scenario.outcome == outcome
    assert (scenario.src.status(), scenario.n.status()) == ends


def tenfold():
    """A graph of s (1) and d = 10 * s, with d's subscriber's log, the
    outcomes of the calls it makes and the subscriptions."""
    g = Graph()
    s = g.state(1, name="s")
    return g, s, g.derived([s], lambda x: x * 10, name="d"), [], [], []


def test_a_set_that_an_open_batch_holds_until_it_ends_goes_through():
    g, s, d, seen, outcomes, subs = tenfold()

    def sink(kind, payload):
        seen.append((kind, payload))
        if kind == "DATA" and not outcomes:
            outcomes.append(s.set(2))

    g.batch(lambda: subs.append(d.subscribe(sink)))
    assert outcomes == [None]
    assert (s.cache(), d.cache(), d.status()) == (2, 20, "settled")
    assert seen == [("START", None), ("DATA", 10), ("DIRTY", None), ("DATA", 20)]


def test_a_resubscription_from_a_sink_while_the_node_delivers_is_refused_and_the_node_lives_on():
    g, s, d, seen, outcomes, subs = tenfold()

    def sink(kind, payload):
        seen.append((kind, payload))
        if (kind, payload) == ("DATA", 20) and not outcomes:
            subs.pop().unsubscribe()
            try:
                subs.append(d.subscribe(sink))
            except RuntimeError as e:
                outcomes.append(str(e))

    subs.append(d.subscribe(sink))
    s.set(2)
    assert outcomes == [FEEDBACK]
    # d stays as the cancelled subscription left it: inactive, no value.
    assert (d.status(), d.cache(), subs) == ("sentinel", None, [])
    assert g.checkpoint()["nodes"][1]["status"] == "sentinel"
    # Subscribed again outside the wave, later sets reach it.
    subs.append(d.subscribe(sink))
    s.set(3)
    assert (d.status(), d.cache()) == ("settled", 30)
    assert seen[-2:] == [("DIRTY", None), ("DATA", 30)]
