"""Two processes, each with its own graph, joined by a wire bridge.

This program is the host: it makes a local socket pair, starts a second
Python process on one end and moves envelope bytes between them, each with a
4-byte length in front. The sensor process has a state node holding a
temperature; every change becomes one canonical DATA envelope of the session
"readings". The display process has a wire bridge for that session with its
protobuf adapter: the bytes go into the adapter's inbound_bytes node, the
bridge accepts each envelope in sequence, and a computed node that follows
the bridge's status prints what arrived.
"""

import socket
import struct
import subprocess
import sys

import korvalinth

SESSION = "readings"


def send_frame(sock, data):
    sock.sendall(struct.pack(">I", len(data)) + data)


def receive_frames(sock):
    stream = sock.makefile("rb")
    while header := stream.read(4):
        yield stream.read(struct.unpack(">I", header)[0])


# The sensor writes its DATA envelopes itself; the canonical form is small:
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


def data_envelope(seq, payload):
    key = f"{SESSION}:{seq}".encode()
    metadata = b"\x08" + varint(seq) + b"\x10\x00" + field(3, key) + b"\x20\x01\x28\x01"
    return field(1, SESSION.encode()) + field(2, metadata) + field(4, field(1, payload))


def sensor(sock):
    graph = korvalinth.Graph(name="sensor")
    temperature = graph.state(21.5, name="temperature")
    sent = []

    def envelope(value):
        data = data_envelope(len(sent) + 1, str(value).encode())
        assert korvalinth._validate_canonical_wire_bridge_envelope(data).ok
        sent.append(data)
        return data

    outgoing = graph.derived([temperature], envelope, name="envelope")
    subscription = outgoing.subscribe(lambda kind, payload: send_frame(sock, payload) if kind == "DATA" else None)
    for value in (22.0, 22.4):
        temperature.set(value)
    subscription.unsubscribe()


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
    subscription = printer.subscribe(lambda kind, payload: None)
    for frame in receive_frames(sock):
        adapter.inbound_bytes.set(frame)
    status = bridge.status.cache()
    print(f"display: bridge {status['state']}, cursor {status['cursor']}, errors {status['errors']}")
    subscription.unsubscribe()
    problems.unsubscribe()
    adapter.release()


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--sensor":
        with socket.socket(fileno=int(sys.argv[2])) as sock:
            sensor(sock)
        return
    ours, theirs = socket.socketpair()
    with ours:
        child = subprocess.Popen([sys.executable, __file__, "--sensor", str(theirs.fileno())],
                                 pass_fds=(theirs.fileno(),))
        theirs.close()
        display(ours)
    if child.wait() != 0:
        raise SystemExit(f"the sensor process failed with exit status {child.returncode}")


if __name__ == "__main__":
    main()
