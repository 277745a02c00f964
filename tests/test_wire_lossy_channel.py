"""Both directions between two graphs, each with a bridge, its protobuf
adapter, an outbound and an inbound edge group and an ack driver, over a
seeded channel that drops, duplicates and reorders envelopes. While the
channel delivers every envelope within its retry budget, each bridge accepts
every envelope of its peer once and in order and nothing stays pending;
when the budget runs out, the sender's status and issues say so. The edge
groups act only on the envelopes their bridge accepted, so every value
arrives once and in order too."""

import random

import pytest

from test_wire_bridge import data_of
from wire_protobuf import WireBridgeEnvelope, parse

TIMEOUT_MS = 10
ROUNDS = 12
AWAITING_ACK = ("start", "data", "close")


class Side:
    def __init__(self, kit_probe, name, edge, peer_edge):
        self.name = name
        self.graph = kit_probe.graph(name)
        self.send = kit_probe.bridge_send
        self.bridge = self.graph._wire_bridge("link")
        self.protobuf = self.graph._wire_bridge_protobuf(self.bridge)
        self.clock = self.graph.state(0, name="clock")
        self.driver = self.graph._wire_bridge_ack_driver(self.bridge, self.clock, TIMEOUT_MS)
        # The bytes first: the bridge must be listening when the group cuts its first cause.
        self.watched = {"bytes": data_of(self.protobuf.outbound_bytes)}
        self.source = self.graph.state(f"{name}-initial".encode(), name=edge)
        self.outbound = self.graph._wire_edge_group_outbound(self.bridge, [(edge, self.source)], name="out")
        self.inbound = self.graph._wire_edge_group(self.bridge, [peer_edge], name="in")
        self.watched |= {key: data_of(node) for key, node in [
            ("bridge", self.bridge.status), ("bridge_issues", self.bridge.issues), ("driver", self.driver.status),
            ("received", self.inbound.inbound_edges[peer_edge])]}
        self.awaiting_ack = set()  # peer seqs of delivered envelopes that await an ACK
        self.acked_to = 0  # the peer seqs acknowledged so far

    def seen(self, key):
        return self.watched[key][0]

    def take_sent(self):
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


def exchange(a, b, rounds, channels):
    """Each round both sources change and what is sent crosses the channels;
    the ack drivers' timeouts make the bridges send it again (the last
    attempt), then each side acknowledges what it accepted. Returns the
    values emitted."""
    emitted = {a: [], b: []}
    pairs = [(a, b, channels[0]), (b, a, channels[1])]

    def carry():
        for source, target, channel in pairs:
            channel.carry(source.take_sent(), target)

    for round_ in range(rounds):
        for side in (a, b):
            value = f"{side.name}-{round_}".encode()
            side.source.set(value)
            emitted[side].append(value)
        carry()
        for side in (a, b):
            side.tick()
        carry()
        for side in (a, b):
            side.acknowledge()
        carry()
    for side in (a, b):  # what was never acknowledged times out for good
        side.tick()
        side.tick()
    return emitted


def sides(kit_probe):
    return Side(kit_probe, "a", "ab", "ba"), Side(kit_probe, "b", "ba", "ab")


def cause_of(value_index):
    """The cause id under which a group sends its value_index-th value (the
    initial one first)."""
    return f'wire-edge-group-cause:["out","{value_index + 1}"]'


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_within_the_budget_every_envelope_is_accepted_once_in_order(kit_probe, seed):
    rng = random.Random(seed)
    a, b = sides(kit_probe)
    group_issues = {side: data_of(side.inbound.issues) for side in (a, b)}  # (seen, subscription)
    emitted = exchange(a, b, ROUNDS, [Channel(rng), Channel(rng)])
    for sender, receiver in ((a, b), (b, a)):
        last = sender.seen("bridge")[-1]
        assert (last["state"], last["pending"], last["acked"]) == ("open", 0, 2 * (ROUNDS + 1))
        assert receiver.seen("bridge")[-1]["cursor"] == last["next_seq"] - 1  # every seq, once, in order
        assert sender.seen("driver")[-1]["pending"] == 0
        assert all("arrived before expected seq" in i["message"] for i in receiver.seen("bridge_issues"))
        # Through the edge group nothing is lost silently: a value that did not
        # arrive is named, by its cause, in the receiver's group issues.
        values = [f"{sender.name}-initial".encode()] + emitted[sender]
        arrived = receiver.seen("received")
        named = {issue["cause_id"] for issue in group_issues[receiver][0]}
        assert len(arrived) == len(set(arrived)) and set(arrived) <= set(values)
        assert all(cause_of(i) in named for i, value in enumerate(values) if value not in arrived)


@pytest.mark.parametrize("seed, faults", [(1, ("none",))] + [(seed, FAULTS) for seed in range(1, 7)])
def test_every_value_arrives_once_in_order_through_the_edge_groups(kit_probe, seed, faults):
    rng = random.Random(seed)
    a, b = sides(kit_probe)
    emitted = exchange(a, b, ROUNDS, [Channel(rng, faults), Channel(rng, faults)])
    for sender, receiver in ((a, b), (b, a)):
        assert receiver.seen("received") == [f"{sender.name}-initial".encode()] + emitted[sender]


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
