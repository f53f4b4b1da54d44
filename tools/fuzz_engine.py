"""Random-input driver for the native engine.

Calls every function of ``quorvane._orrin32`` with random arguments, valid and invalid alike:
boundary integers, wrong types, arrays of every integer dtype, strided and 2-D arrays, empty
and length-1 operands, small interning tables that fill up, large arrays that release the GIL
while other threads use the same engine. A refusal must be one of the documented exception
types; anything else, a crash or a sanitizer report is a failure. Valid calls are checked
against each other (decode of encode, batch against scalar, header bits against the batch
reads).

`make sanitize` runs it against an engine built with AddressSanitizer and
UndefinedBehaviorSanitizer; the test suite runs a short pass so that it keeps working.

    python tools/fuzz_engine.py --iterations 20000 --seed 7
"""

from __future__ import annotations

import argparse
import random
import sys
import threading
from collections.abc import Callable
from typing import Any

import numpy as np

from quorvane import _orrin32 as engine_module
from quorvane._orrin32 import RustProvenanceTracker

# What the engine may raise for bad input; std::length_error (a full table) arrives as
# ValueError, too.
REFUSALS = (ValueError, TypeError, OverflowError)

BOUNDARY_INTS = [0, 1, 2, 3, 7, 8, 255, 256, 509, 510, 511, 512, 1023, 2**26 - 1, 2**26]
BOUNDARY_INTS += [2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64, 2**80, -1, -(2**63), -(2**64)]
INT_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]
NOT_INTS: list[Any] = [None, 1.5, "3", b"3", [1], object(), np.float32(2.0), complex(1, 0)]
# Big enough that the kernels release the GIL (the threshold is 2**14 elements).
LARGE = 2**14 + 3


class Driver:
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.engine = RustProvenanceTracker()
        self.words: list[int] = [0]  # words the engine has issued, to feed back in
        self.calls = 0
        self.refused = 0

    # -- argument makers --------------------------------------------------------------

    def some_int(self) -> int:
        rng = self.rng
        roll = rng.random()
        if roll < 0.4:
            return rng.choice(BOUNDARY_INTS)
        if roll < 0.7:
            return rng.getrandbits(rng.choice([4, 9, 16, 32]))
        return rng.randint(-(2**70), 2**70)

    def some_arg(self) -> Any:
        """Mostly ints; sometimes something that is not one."""
        return self.rng.choice(NOT_INTS) if self.rng.random() < 0.1 else self.some_int()

    def some_word(self) -> Any:
        rng = self.rng
        roll = rng.random()
        if roll < 0.6:
            return rng.choice(self.words)
        if roll < 0.9:
            return rng.getrandbits(32)  # often names no pair set this engine knows
        return self.some_arg()

    def some_pairs(self) -> Any:
        rng = self.rng
        n = rng.choice([0, 1, 2, 3, 4, 5, 8, 40])
        ids = [rng.choice([rng.randrange(512), rng.choice(BOUNDARY_INTS[:12])]) for _ in range(n)]
        if rng.random() < 0.05:
            ids.append(rng.choice([512, -1, 2**64, None, 1.0]))
        return rng.choice([ids, tuple(ids), set(ids) if None not in ids else ids, iter(ids)])

    def some_array(self, size: int | None = None) -> Any:
        rng = self.rng
        n = size if size is not None else rng.choice([0, 1, 1, 2, 5, 17, 64])
        source = [rng.choice(self.words) for _ in range(n)]
        roll = rng.random()
        if roll < 0.05:
            return [self.some_arg() for _ in range(n)]
        if roll < 0.1:
            return np.array(source, dtype=np.float64)
        if roll < 0.15:
            return np.array(source, dtype=np.uint32).reshape(1, -1) if n else np.zeros((0, 2))
        dtype = rng.choice(INT_DTYPES)
        values = np.array(source, dtype=np.uint64)
        if rng.random() < 0.2 and n:  # values that do not fit a word, or negative ones
            values[rng.randrange(n)] = rng.getrandbits(64)
        arr = values.astype(dtype, copy=False) if dtype != np.uint64 else values
        if rng.random() < 0.2:  # strided view over a doubled buffer: same values, no copy
            doubled = np.repeat(arr, 2)
            arr = doubled[::2]
        if rng.random() < 0.1:
            arr = arr.copy()
            arr.flags.writeable = False
        return arr

    # -- calls --------------------------------------------------------------------------

    def attempt(self, call: Callable[[], Any]) -> Any:
        self.calls += 1
        try:
            return call()
        except REFUSALS:
            self.refused += 1
            return None

    def remember(self, words: Any) -> None:
        if words is None:
            return
        if isinstance(words, int):
            self.words.append(words)
        else:
            self.words.extend(int(w) for w in np.asarray(words)[:8])
        if len(self.words) > 4096:
            del self.words[:2048]

    def step(self) -> None:
        rng, e = self.rng, self.engine
        choice = rng.randrange(12)
        if choice == 0:
            pairs = self.some_pairs()
            args = (self.some_arg(), self.some_arg(), rng.random() < 0.5, self.some_arg())
            word = self.attempt(lambda: e.encode(pairs, *args))
            self.remember(word)
            if word is not None:
                self.check_decodes(word)
        elif choice == 1:
            self.attempt(lambda: e.decode_full(self.some_word()))
        elif choice == 2:
            a, b, op = self.some_word(), self.some_word(), self.some_arg()
            word = self.attempt(lambda: e.combine(a, b, op))
            self.remember(word)
            if word is not None:
                batch = engine_module.combine_batch(e, np.array([a], np.uint32), [b], op)
                assert int(batch[0]) == word, (a, b, op)
        elif choice == 3:
            w, op = self.some_word(), self.some_arg()
            word = self.attempt(lambda: e.update_chain(w, op))
            self.remember(word)
            if word is not None:
                assert int(engine_module.update_chain_batch(e, [w], op)[0]) == word, (w, op)
        elif choice == 4:
            a, b, op = self.some_array(), self.some_array(), self.some_arg()
            if rng.random() < 0.3:
                b = self.some_array(1)
            self.remember(self.attempt(lambda: engine_module.combine_batch(e, a, b, op)))
        elif choice == 5:
            words, op = self.some_array(), self.some_arg()
            self.remember(self.attempt(lambda: engine_module.update_chain_batch(e, words, op)))
        elif choice == 6:
            pair_id, entities = self.some_arg(), self.some_array()
            out = self.attempt(
                lambda: engine_module.encode_source_column(e, pair_id, entities, rng.random() < 0.5)
            )
            self.remember(out)
        elif choice == 7:
            self.check_header_reads(self.some_array())
        elif choice == 8:
            self.attempt(lambda: engine_module.explain_batch(e, self.some_array()))
        elif choice == 9:
            self.attempt(lambda: e.register(rng.choice(["t", "", 3]), "c", rng.random() < 0.5))
            self.attempt(lambda: e.mark_table_protected(rng.choice(["t", None])))
        elif choice == 10:
            self.fill_small_table()
        else:
            self.hammer_from_threads()

    # -- oracles and stress -----------------------------------------------------------------

    def check_decodes(self, word: int) -> None:
        decoded = self.engine.decode_full(word)
        assert decoded["pairs"] == sorted(decoded["pairs"]), decoded
        assert decoded["taint"] == bool((word >> 29) & 1), (word, decoded)
        assert decoded["depth"] == (word >> 26) & 7, (word, decoded)
        explained = engine_module.explain_batch(self.engine, np.array([word], np.uint32))
        assert explained == [decoded["pairs"]], (word, decoded, explained)

    def check_header_reads(self, words: Any) -> None:
        tainted = self.attempt(lambda: engine_module.is_tainted_batch(words))
        risks = self.attempt(lambda: engine_module.risk_score_batch(words))
        if tainted is None or risks is None:
            return
        flat = np.asarray(words).astype(np.uint64)
        expected_taint = ((flat >> 29) & 1).astype(bool)
        expected_risk = np.where(expected_taint, 1.0 / (1.0 + ((flat >> 26) & 7)), 0.0)
        assert np.array_equal(tainted, expected_taint)
        assert np.array_equal(risks, expected_risk)

    def fill_small_table(self) -> None:
        """An engine whose interning table fills up must refuse, not write past its end."""
        capacity = self.rng.choice([1, 2, 3, 5])
        small = RustProvenanceTracker(dense_capacity=capacity)
        issued = set()
        for start in range(0, 4 * (capacity + 2), 4):
            try:
                issued.add(small.encode(list(range(start, start + 4)), 0, 0, False, 0))
            except ValueError:
                break
        assert len(issued) == capacity == small.dense_count, (capacity, len(issued))
        big = np.array(sorted(issued) * (LARGE // len(issued) + 1), np.uint32)
        self.attempt(lambda: engine_module.combine_batch(small, big, big[::-1].copy(), 1))

    def hammer_from_threads(self) -> None:
        """Large batches release the GIL: several threads intern into one engine at once."""
        e = self.engine
        seeds = [self.rng.getrandbits(32) for _ in range(3)]
        failures: list[BaseException] = []

        def work(seed: int) -> None:
            local = np.random.default_rng(seed)
            try:
                ids = local.integers(0, 512, size=(LARGE, 5))
                words = np.array(
                    [e.encode(list(row), 0, 0, False, 0) for row in ids[:64]], np.uint32
                )
                a = local.choice(words, LARGE).astype(np.uint32)
                b = local.choice(words, LARGE).astype(np.uint32)
                engine_module.combine_batch(e, a, b, int(local.integers(0, 16)))
                engine_module.explain_batch(e, a[:256])
            except BaseException as exc:  # noqa: BLE001 - handed to the main thread
                failures.append(exc)

        threads = [threading.Thread(target=work, args=(seed,)) for seed in seeds]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        if failures:
            raise failures[0]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    driver = Driver(random.Random(args.seed))
    for _ in range(args.iterations):
        driver.step()
    print(
        f"engine driver: {args.iterations} steps, {driver.calls} calls, "
        f"{driver.refused} refused as documented, seed {args.seed}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
