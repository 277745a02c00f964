"""Two processes, each with its own graph, joined by a wire bridge.

This program is the host: it makes a local socket pair, starts a second
Python process on one end and moves envelope bytes between them, each with a
4-byte length in front. Both processes have a wire bridge for the session
"readings" with its protobuf adapter; the bytes that arrive go into the
adapter's inbound_bytes node.

One way, the sensor process writes its envelopes itself: every change of its
temperature becomes one canonical DATA envelope, the display's bridge accepts
each in sequence, and a computed node that follows the bridge's status
prints what arrived.

The other way, the display publishes a setpoint as an outbound wire edge
group: the group sends the value as a DIRTY and a DATA frame, each in an
envelope that stays pending until the sensor acknowledges it; an ack driver,
fed by a clock node, would send it again if no ACK came in time. The
sensor's inbound edge group hands the value over as bytes, and the sensor
writes an ACK envelope for every envelope its bridge accepted. The display
ends with nothing pending. The sensor's output is printed by the host once
it has finished.
"""

import socket
import struct
import subprocess
import sys
import time

import korvalinth

SESSION = "readings"
ACK_TIMEOUT_MS = 30_000


def send_frame(sock, data):
    sock.sendall(struct.pack(">I", len(data)) + data)


def receive_frames(sock):
    stream = sock.makefile("rb")
    while header := stream.read(4):
        yield stream.read(struct.unpack(">I", header)[0])


# The sensor writes its envelopes itself; the canonical form is small:
# fields in ascending order, shortest varints, every required field written.
def varint(n):
    out = bytearray()
    while True:
        out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            return bytes(out)


def field(number, data):
    return bytes([number << 3 | 2]) + varint(len(data)) + data


def envelope(seq, cursor, body, ack_for_seq=None):
    key = f"{SESSION}:{seq}".encode()
    metadata = b"\x08" + varint(seq) + b"\x10" + varint(cursor) + field(3, key) + b"\x20\x01\x28\x01"
    if ack_for_seq is not None:
        metadata += b"\x38" + varint(ack_for_seq)
    data = field(1, SESSION.encode()) + field(2, metadata) + body
    assert korvalinth._validate_canonical_wire_bridge_envelope(data).ok
    return data


def data_envelope(seq, payload):
    return envelope(seq, 0, field(4, field(1, payload)))


def ack_envelope(seq, acked_seq):
    return envelope(seq, acked_seq, field(5, b""), ack_for_seq=acked_seq)


def sensor(sock):
    graph = korvalinth.Graph(name="sensor")
    temperature = graph.state(21.5, name="temperature")
    sent = []

    def reading(value):
        sent.append(data_envelope(len(sent) + 1, str(value).encode()))
        return sent[-1]

    outgoing = graph.derived([temperature], reading, name="envelope")
    subscription = outgoing.subscribe(lambda kind, payload: send_frame(sock, payload) if kind == "DATA" else None)
    for value in (22.0, 22.4):
        temperature.set(value)
    subscription.unsubscribe()

    # The setpoint comes in through this process's own bridge.
    bridge = graph._wire_bridge(SESSION)
    adapter = graph._wire_bridge_protobuf(bridge)
    setpoints = graph._wire_edge_group(bridge, ["setpoint"])
    arrived = []
    watching = [setpoints.inbound_edges["setpoint"].subscribe(lambda kind, value: kind == "DATA" and arrived.append(value)),
                bridge.status.subscribe(lambda kind, status: None)]
    acked = 0
    for frame in receive_frames(sock):
        adapter.inbound_bytes.set(frame)
        accepted = bridge.status.cache()["cursor"]
        while acked < accepted:
            acked += 1
            send_frame(sock, ack_envelope(len(sent) + acked, acked))
        if arrived:
            break
    print(f"sensor: setpoint {arrived[0].decode()} arrived, {acked} envelopes acknowledged")
    sock.shutdown(socket.SHUT_WR)
    for subscription in watching:
        subscription.unsubscribe()
    setpoints.release()
    adapter.release()


def display(sock):
    graph = korvalinth.Graph(name="display")
    bridge = graph._wire_bridge(SESSION)
    adapter = graph._wire_bridge_protobuf(bridge)
    accepted = graph.derived([bridge.status], lambda status: status["cursor"], name="accepted")
    shown = [0]

    def show(seq):
        # The status node reports after every step of the bridge; print each new envelope once.
        if seq > shown[0]:
            shown[0] = seq
            print(f"display: accepted envelope {seq} of {SESSION!r}")

    printer = graph.effect([accepted], show, name="printer")
    problems = adapter.issues.subscribe(lambda kind, issue: kind == "DATA" and print("display: refused", issue))
    subscriptions = [printer.subscribe(lambda kind, payload: None), problems]

    # Whatever the bridge sends goes to the socket; the setpoint goes out as
    # soon as its group is attached to the running bridge.
    subscriptions.append(adapter.outbound_bytes.subscribe(lambda kind, data: kind == "DATA" and send_frame(sock, data)))
    started = time.monotonic()
    clock = graph.state(0, name="clock")
    driver = graph._wire_bridge_ack_driver(bridge, clock, ACK_TIMEOUT_MS)
    subscriptions.append(driver.status.subscribe(lambda kind, status: None))
    setpoint = graph.state(b"19.5", name="setpoint")
    setpoints = graph._wire_edge_group_outbound(bridge, [("setpoint", setpoint)])
    for frame in receive_frames(sock):
        adapter.inbound_bytes.set(frame)
        clock.set(int((time.monotonic() - started) * 1000))
    status = bridge.status.cache()
    print(f"display: bridge {status['state']}, cursor {status['cursor']}, errors {status['errors']}")
    print(f"display: {status['acked']} setpoint envelopes acknowledged, {status['pending']} pending at the bridge, "
          f"{driver.status.cache()['pending']} at the ack driver")
    for subscription in subscriptions:
        subscription.unsubscribe()
    setpoints.release()
    driver.release()
    adapter.release()


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--sensor":
        with socket.socket(fileno=int(sys.argv[2])) as sock:
            sensor(sock)
        return
    ours, theirs = socket.socketpair()
    with ours:
        child = subprocess.Popen([sys.executable, __file__, "--sensor", str(theirs.fileno())],
                                 pass_fds=(theirs.fileno(),), stdout=subprocess.PIPE, text=True)
        theirs.close()
        display(ours)
    output, _ = child.communicate()
    print(output, end="")
    if child.returncode != 0:
        raise SystemExit(f"the sensor process failed with exit status {child.returncode}")


if __name__ == "__main__":
    main()
