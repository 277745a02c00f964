"""Both directions between two graphs, each with a bridge, its protobuf
adapter, an outbound and an inbound edge group and an ack driver, over a
seeded channel that drops, duplicates and reorders envelopes. While the
channel delivers every envelope within its retry budget, each bridge accepts
every envelope of its peer once and in order and nothing stays pending;
when the budget runs out, the sender's status and issues say so. The edge
groups act only on the envelopes their bridge accepted, so every value
arrives once and in order too. A receiver whose bridge nothing watched while
its inbound group accepted envelopes reports them all once watched, so its
host acknowledges them from its status."""

import random

import pytest

from test_wire_bridge import data_of
from wire_protobuf import WireBridgeEnvelope, parse

TIMEOUT_MS = 10
ROUNDS = 12
AWAITING_ACK = ("start", "data", "close")


class Side:
    """One graph: a bridge with its protobuf adapter, an inbound group "in",
    and, once it watches its bridge, an ack driver and an outbound group
    "out". Until then the bridge's processor does not run and the inbound
    group alone judges what arrives."""

    def __init__(self, kit_probe, name, edge, peer_edge, watched=True):
        self.name, self.edge = name, edge
        self.graph = kit_probe.graph(name)
        self.send = kit_probe.bridge_send
        self.bridge = self.graph._wire_bridge("link")
        self.protobuf = self.graph._wire_bridge_protobuf(self.bridge)
        self.clock = self.graph.state(0, name="clock")
        self.values = [f"{name}-initial".encode()]  # every value of the source
        self.source = self.graph.state(self.values[0], name=edge)
        self.watched = {}
        self.sends_next_round = False
        if watched:
            self.send_from_here()
        self.inbound = self.graph._wire_edge_group(self.bridge, [peer_edge], name="in")
        self.watched["received"] = data_of(self.inbound.inbound_edges[peer_edge])
        if watched:
            self.watch_bridge()
        self.awaiting_ack = set()  # peer seqs of delivered envelopes that await an ACK
        self.acked_to = 0  # the peer seqs acknowledged so far

    def send_from_here(self):
        """The ack driver and the outbound group, the bytes watched first: the
        bridge must be listening when the group cuts its first cause."""
        self.driver = self.graph._wire_bridge_ack_driver(self.bridge, self.clock, TIMEOUT_MS)
        self.watched.setdefault("bytes", data_of(self.protobuf.outbound_bytes))
        self.sent_from = len(self.values) - 1  # the group's first cause carries the source's value now
        self.outbound = self.graph._wire_edge_group_outbound(self.bridge, [(self.edge, self.source)], name="out")

    def watch(self):
        """The host starts watching a bridge that did not run: its status
        first, as a host that acknowledges from it does, then the bytes to
        carry. The side's values go out from the next round on (sent at once,
        a cause would go out in one batch with ACKs, which are never sent
        again: one beyond a lost envelope would be lost for good)."""
        self.watched["bridge"] = data_of(self.bridge.status)
        self.watched["bytes"] = data_of(self.protobuf.outbound_bytes)
        self.sends_next_round = True

    def watch_bridge(self):
        for key, node in [("bridge", self.bridge.status), ("bridge_issues", self.bridge.issues),
                          ("driver", self.driver.status)]:
            self.watched.setdefault(key, data_of(node))

    def seen(self, key):
        return self.watched[key][0]

    def sent_values(self):
        return self.values[self.sent_from:]

    def set_source(self, value):
        if self.sends_next_round:
            self.sends_next_round = False
            self.send_from_here()
            self.watch_bridge()
        self.values.append(value)
        self.source.set(value)

    def take_sent(self):
        if "bytes" not in self.watched:
            return []
        sent = list(self.seen("bytes"))
        self.seen("bytes").clear()
        return sent

    def tick(self):
        self.clock.set(self.clock.cache() + TIMEOUT_MS)

    def deliver(self, data):
        envelope = parse(WireBridgeEnvelope, data)
        if envelope.WhichOneof("payload") in AWAITING_ACK:
            self.awaiting_ack.add(envelope.metadata.seq)
        self.protobuf.inbound_bytes.set(data)

    def acknowledge(self):
        """An ACK for every peer envelope awaiting one that the bridge
        accepted since the last call."""
        if "bridge" not in self.watched:
            return
        cursor = self.seen("bridge")[-1]["cursor"]
        for seq in sorted(s for s in self.awaiting_ack if self.acked_to < s <= cursor):
            self.send(self.bridge, "ack", seq)
        self.acked_to = cursor


def sent_again(data):
    """Whether the bridge sends this envelope again when no ACK comes."""
    envelope = parse(WireBridgeEnvelope, data)
    awaits_ack = envelope.WhichOneof("payload") in AWAITING_ACK
    return awaits_ack and envelope.metadata.attempt < envelope.metadata.max_attempts


FAULTS = ("none", "drop", "duplicate", "late")


class Channel:
    """Carries bytes one way. A fault hits only an envelope that will be sent
    again: it is dropped, duplicated, or delivered after the rest of its
    batch; any other envelope (a last attempt, an ACK) is delivered, perhaps
    twice, unless `lose_last` picks it."""

    def __init__(self, rng, faults=FAULTS, lose_last=lambda data: False):
        self.rng, self.faults, self.lose_last = rng, faults, lose_last

    def carry(self, batch, to):
        delivered, late = [], []
        for data in batch:
            fault = self.rng.choice(self.faults)
            if not sent_again(data):
                if self.lose_last(data):
                    continue
                fault = "duplicate" if fault == "duplicate" else "none"
            if fault != "drop":
                (late if fault == "late" else delivered).append(data)
            if fault == "duplicate":
                delivered.append(data)
        for data in delivered + late:
            to.deliver(data)


def exchange(a, b, rounds, channels, b_watched_at=None):
    """Each round both sources change and what is sent crosses the channels;
    the ack drivers' timeouts make the bridges send it again (the last
    attempt), then each side acknowledges what it accepted. A b built
    unwatched starts watching at b_watched_at: the round and the step,
    "retries" or "acks", before which it does."""

    def watch(step):
        if step == b_watched_at:
            b.watch()

    pairs = [(a, b, channels[0]), (b, a, channels[1])]

    def carry():
        for source, target, channel in pairs:
            channel.carry(source.take_sent(), target)

    for round_ in range(rounds):
        for side in (a, b):
            side.set_source(f"{side.name}-{round_}".encode())
        carry()
        watch((round_, "retries"))
        for side in (a, b):
            side.tick()
        carry()
        watch((round_, "acks"))
        for side in (a, b):
            side.acknowledge()
        carry()
    for side in (a, b):  # what was never acknowledged times out for good
        side.tick()
        side.tick()


def sides(kit_probe, b_watched=True):
    return Side(kit_probe, "a", "ab", "ba"), Side(kit_probe, "b", "ba", "ab", watched=b_watched)


def cause_of(value_index):
    """The cause id under which a group sends its value_index-th value (the
    first one it sends first)."""
    return f'wire-edge-group-cause:["out","{value_index + 1}"]'


# Some with b's bridge first watched mid-session, its inbound group having
# accepted envelopes, some of them again as the sender's retries.
@pytest.mark.parametrize("seed, watch_at", [(seed, None) for seed in (1, 2, 3, 4)] + [
    (2, (0, "retries"))] + [(seed, (0, "acks")) for seed in (2, 3, 5, 6)])
def test_within_the_budget_every_envelope_is_accepted_once_in_order(kit_probe, seed, watch_at):
    rng = random.Random(seed)
    a, b = sides(kit_probe, b_watched=watch_at is None)
    group_issues = {side: data_of(side.inbound.issues) for side in (a, b)}  # (seen, subscription)
    exchange(a, b, ROUNDS, [Channel(rng), Channel(rng)], watch_at)
    for sender, receiver in ((a, b), (b, a)):
        last = sender.seen("bridge")[-1]
        assert (last["state"], last["pending"], last["acked"]) == ("open", 0, 2 * len(sender.sent_values()))
        assert receiver.seen("bridge")[-1]["cursor"] == last["next_seq"] - 1  # every seq, once, in order
        assert sender.seen("driver")[-1]["pending"] == 0
        assert all("arrived before expected seq" in i["message"] for i in receiver.seen("bridge_issues"))
        # Through the edge group nothing is lost silently: a value that did not
        # arrive is named, by its cause, in the receiver's group issues.
        values = sender.sent_values()
        arrived = receiver.seen("received")
        named = {issue["cause_id"] for issue in group_issues[receiver][0]}
        assert len(arrived) == len(set(arrived)) and set(arrived) <= set(values)
        assert all(cause_of(i) in named for i, value in enumerate(values) if value not in arrived)


@pytest.mark.parametrize("seed, faults", [(1, ("none",))] + [(seed, FAULTS) for seed in range(1, 7)])
def test_every_value_arrives_once_in_order_through_the_edge_groups(kit_probe, seed, faults):
    rng = random.Random(seed)
    a, b = sides(kit_probe)
    exchange(a, b, ROUNDS, [Channel(rng, faults), Channel(rng, faults)])
    for sender, receiver in ((a, b), (b, a)):
        assert receiver.seen("received") == sender.sent_values()


def test_a_lost_last_attempt_is_reported_by_the_sender(kit_probe):
    a, b = sides(kit_probe)
    lost = []

    def lose_first_data_from_round_two(data):
        envelope = parse(WireBridgeEnvelope, data)
        if not lost and envelope.WhichOneof("payload") == "data" and envelope.metadata.seq >= 9:
            lost.append(envelope.metadata.seq)
        return envelope.metadata.seq in lost and envelope.WhichOneof("payload") == "data"

    exchange(a, b, 6, [Channel(random.Random(0), lose_last=lose_first_data_from_round_two),
                       Channel(random.Random(1))])
    last = a.seen("bridge")[-1]
    assert (last["state"], last["pending"]) == ("exhausted", 0) and a.seen("driver")[-1]["pending"] == 0
    assert {"code": "bridge_error", "message": f"link: ack timeout for seq {lost[0]}"} in a.seen("bridge_issues")
    # The peer accepted everything before the lost envelope and nothing after it.
    assert b.seen("bridge")[-1]["cursor"] == lost[0] - 1


@pytest.mark.parametrize("arrivals", [
    [1, 2, 2, 3, 4, 4],  # each cause's DATA again
    [1, 2, 3, 4, 3],  # an envelope again
    [2, 1, 2, 4, 3, 4, 1],  # envelopes beyond a gap, and stale ones
    [1, 2, 3, 4, b"\x00"],  # then bytes that are no envelope
])
def test_a_bridge_first_watched_after_its_group_accepted_reports_every_accepted_envelope(kit_probe, arrivals):
    # Until b's host watches its bridge, b's inbound group alone judges a's
    # envelopes; once watching, the host acknowledges what b's status says
    # the session accepted.
    a, b = sides(kit_probe, b_watched=False)
    a.set_source(b"a-0")
    sent = a.take_sent()  # seqs 1 to 4: the causes of the initial value and of a-0
    for arrival in arrivals:
        if isinstance(arrival, bytes):
            b.protobuf.inbound_bytes.set(arrival)
        else:
            b.deliver(sent[arrival - 1])
    assert b.seen("received") == a.values
    b.watch()
    assert b.seen("bridge")[-1]["cursor"] == 4
    b.acknowledge()
    for data in b.take_sent():
        a.deliver(data)
    a.tick()
    a.tick()  # past every ack timeout
    last = a.seen("bridge")[-1]
    assert (last["state"], last["pending"], last["acked"]) == ("open", 0, 4)
    assert a.seen("driver")[-1]["pending"] == 0 and a.seen("bridge_issues") == []
