"""The first pass's integer kernels alone, on every path the processor has:
one query's dot products over a store's int8 copy read once from memory,
as a ratio to a plain read of the same bytes, and a full group of queries
over a tile that stays in cache, in int8 products per second.

    tools/python bench/int8_kernels.py

The numbers behind the kernels' constants (bench/NOTES.md). Times are
medians of rounds, methods and floors taken in turn.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import numpy as np

import _tessaly_testhooks as hooks

ROUNDS = 7
SHAPES = [(1_000_000, 128), (100_000, 768)]  # entries, dimension
TILE_BYTES = 192 * 1024  # the batch's int8 tile


def main():
    paths = [p for p in hooks.kernel_paths() if p != "scalar"]
    print("kernel paths:", ", ".join(paths))
    for entries, d in SHAPES:
        lines = (d + 3) // 4
        blocks = entries // 16
        floor_buffer = np.ones(blocks * lines * 64 // 4, dtype=np.float32)
        print(f"\n## {entries:,} x {d}: one query over {blocks * lines * 64 / 1e6:.0f} MB of int8")
        ratios = {p: [] for p in paths}
        for _ in range(ROUNDS):
            for path in paths:
                floor = hooks.stream_buffer(floor_buffer, 1)
                ratios[path].append(hooks.int8_dot_seconds(path, blocks, lines, 1) / floor)
        for path in paths:
            r = sorted(ratios[path])
            print(f"  {path:12s} {r[len(r) // 2]:.2f} of a plain read (range {r[0]:.2f}-{r[-1]:.2f})")
        tile = max(1, TILE_BYTES // (lines * 64))
        print(f"## {d} elements: a full group over a tile of {tile} blocks, in cache")
        for path in paths:
            rate = hooks.int8_group_rate(path, tile, lines, 3)
            print(f"  {path:12s} {rate / 1e9:7.1f} G int8 products/s")


if __name__ == "__main__":
    main()
