"""Writes each hex line of a seeds file as one file of a fuzz corpus."""
import pathlib
import sys

source, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
out.mkdir(parents=True, exist_ok=True)
for n, line in enumerate(source.read_text().split()):
    (out / f"seed-{n:03}").write_bytes(bytes.fromhex(line))
