"""Word count on a local Ray with one shared QuorDict and one shared QuorList.

    python -m quorlib.demo [--tasks 4] [--words 300000] [--chunks 4] [--batch 5000]

Several Ray tasks count the words of a generated corpus into one QuorDict,
each batch inside a ``with`` block, and append a summary per batch and per task
to a QuorList. The driver shows progress from the list's length, then checks
the shared counts against a single-process count.
"""

from __future__ import annotations

import argparse
import collections
import os
import random
import sys
import time
from collections.abc import Sequence
from typing import Any

import ray

import quorlib.quorbase
import quorlib.quordict
import quorlib.quorlist
from quorlib.quordict import QuorDict
from quorlib.quorlist import QuorList

_SYLLABLES = ["ka", "lo", "mi", "ren", "so", "ta", "vu", "ne", "di", "por", "sha", "el", "qu", "an"]


def make_corpus(n_words: int, vocabulary: int = 4000, seed: int = 20261207) -> list[str]:
    """A deterministic corpus with Zipf-like word frequencies."""
    rng = random.Random(seed)
    words: list[str] = []
    seen: set[str] = set()
    while len(words) < vocabulary:
        w = "".join(rng.choice(_SYLLABLES) for _ in range(rng.randint(1, 4)))
        if w not in seen:
            seen.add(w)
            words.append(w)
    weights = [1.0 / (rank + 1) for rank in range(vocabulary)]
    return rng.choices(words, weights=weights, k=n_words)


class RemoteCallCounter:
    """Counts the actor calls this process sends while it is installed: every
    `.remote()` of an actor method, whether or not it is waited for one by
    one (a block's end sends its writes, publish and release together)."""

    def __init__(self) -> None:
        self.calls = 0
        self._original: Any = None

    def install(self) -> RemoteCallCounter:
        original = self._original = ray.actor.ActorMethod.remote
        counter = self

        def remote(method: Any, *args: Any, **kwargs: Any) -> Any:
            counter.calls += 1
            return original(method, *args, **kwargs)

        ray.actor.ActorMethod.remote = remote  # type: ignore[method-assign, assignment]
        return self

    def uninstall(self) -> None:
        if self._original is not None:
            ray.actor.ActorMethod.remote = self._original  # type: ignore[method-assign]
            self._original = None


def count_remote_calls() -> RemoteCallCounter:
    return RemoteCallCounter().install()


@ray.remote(num_cpus=1)
def count_words(task_id: int, words: list[str], counts: QuorDict[str, int],
                log: QuorList[tuple[Any, ...]], batch: int) -> int:
    calls = count_remote_calls()
    try:
        start = time.perf_counter()
        for offset in range(0, len(words), batch):
            piece = words[offset:offset + batch]
            with counts:
                for w in piece:
                    counts[w] = counts[w] + 1 if w in counts else 1
            with log:
                log.append(("batch", task_id, len(piece)))
        seconds = time.perf_counter() - start
        with log:
            log.append(("task", task_id, len(words), round(seconds, 3)))
    finally:
        calls.uninstall()  # a worker process may run other tasks after this one
    # Leave nothing changed behind: the copies kept after the last block are
    # unchanged, so freeing them later writes nothing.
    return calls.calls


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m quorlib.demo", description=__doc__.split("\n\n")[0])
    p.add_argument("--tasks", type=int, default=4, help="Ray tasks counting in parallel (4)")
    p.add_argument("--words", type=int, default=300_000, help="corpus size in words (300000)")
    p.add_argument("--chunks", type=int, default=4, help="chunks (actors) of the dictionary (4)")
    p.add_argument("--batch", type=int, default=5_000, help="words counted per with block (5000)")
    p.add_argument("--top", type=int, default=10, help="top words to print (10)")
    return p.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if args.tasks < 1 or args.words < 1 or args.chunks < 1 or args.batch < 1:
        sys.exit("--tasks, --words, --chunks and --batch must be positive")
    began = time.perf_counter()
    ray.init(address=os.environ.get("RAY_ADDRESS"), include_dashboard=False,
             configure_logging=False, log_to_driver=True)
    print(f"Ray {ray.__version__} started; {args.tasks} tasks, {args.words} words, "
          f"{args.chunks} chunks", flush=True)

    corpus = make_corpus(args.words)
    counts: QuorDict[str, int] = QuorDict(num_chunks=args.chunks)
    log: QuorList[tuple[Any, ...]] = QuorList(num_chunks=2, meta=quorlib.quorlist.ListChunkMeta(max_element_per_chunk=65536))
    calls = count_remote_calls()

    share = -(-len(corpus) // args.tasks)
    pending = [count_words.remote(t, corpus[t * share:(t + 1) * share], counts, log, args.batch)
               for t in range(args.tasks)]
    batches = args.tasks * -(-share // args.batch)
    task_calls: list[int] = []
    # A terminal gets one line redrawn in place; a log gets a line per change.
    redraw = sys.stdout.isatty()
    shown: str | None = None
    while pending:
        done, pending = ray.wait(pending, timeout=0.5)
        task_calls += ray.get(done)
        # len() reads the shared usage counts: current without taking the lock.
        entries = len(log)
        line = f"  {min(entries, batches):>5} / {batches} batches counted, {len(pending)} tasks running"
        if redraw:
            print(f"\r{line}", end="", flush=True)
        elif line != shown:
            print(line, flush=True)
        shown = line
    if redraw:
        print(flush=True)

    with counts:
        shared = counts.copy()
    with log:
        summaries = [e for e in log if e[0] == "task"]
    expected = collections.Counter(corpus)
    total = sum(shared.values())
    ok = total == len(corpus) and shared == dict(expected)
    top = sorted(shared.items(), key=lambda kv: (-kv[1], kv[0]))[:args.top]
    expected_top = sorted(expected.items(), key=lambda kv: (-kv[1], kv[0]))[:args.top]

    print(f"Top {args.top} words:")
    for word, n in top:
        print(f"  {word:<16} {n:>8}")
    for _, task_id, n, secs in sorted(summaries, key=lambda e: e[1]):
        print(f"  task {task_id}: {n} words in {secs:.2f} s")
    elapsed = time.perf_counter() - began
    calls.uninstall()
    print(f"Counted {total} words ({len(shared)} distinct) in {elapsed:.1f} s with "
          f"{sum(task_calls) + calls.calls} remote calls.")
    ok = ok and top == expected_top and len(summaries) == args.tasks
    print("Result verified against a single-process count." if ok else "RESULT MISMATCH")
    ray.shutdown()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
