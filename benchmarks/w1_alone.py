"""W1 alone, without a Ray cluster: the resident read+write loop
(`d[k] = d[k] + 1` on keys whose chunks are resident, inside one `with`
block) against a plain dict, as in run.py's W1.

    PYTHONPATH=src python benchmarks/w1_alone.py [--quick] [--chunks 4]

The loop makes no remote call, so the in-process test double
(tests/fakeray.py) stands in for Ray and the services; only construction
and the block's lock and write-back go through it, outside the timing.
For comparing builds of the modules on a quiet machine; run.py stays the
reference for the published table.
"""

from __future__ import annotations

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tests")]

import quorlib.quorbase  # noqa: E402
import quorlib.quordict  # noqa: E402
import quorlib.quorlock  # noqa: E402
from fakeray import FakeRay  # noqa: E402
from workloads import W1_KEYS, w1_measure  # noqa: E402


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="20,000 operations, 3 rounds")
    p.add_argument("--chunks", type=int, default=4)
    args = p.parse_args(argv)
    fake = FakeRay()
    for module in (quorlib.quorbase, quorlib.quordict, quorlib.quorlock):
        for name, value in (("ray", fake), ("QuorProxy", fake.QuorProxy), ("QuorLock", fake.QuorLock)):
            setattr(module, name, value)
    ops, rounds = (20_000 if args.quick else 200_000), (3 if args.quick else 9)
    for kind, make_key in W1_KEYS:
        t, same, _ = w1_measure(args.chunks, ops, rounds, make_key)
        per_q, per_p = (t[k] / (2 * ops) * 1e9 for k in ("quorlib", "dict"))
        print(f"W1 {kind:8s}  quorlib {per_q:6.1f} ns/op  dict {per_p:6.1f} ns/op  "
              f"ratio {t['quorlib'] / t['dict']:.2f}x" + ("" if same else "  CONTENTS DIFFER"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
