#!/usr/bin/env python3
"""Writes a benchmark release: make_release.py <folder> <files> <bytes> <seed>.

Folders of 100 files below data/packNN/setN; sizes drawn from an exponential
distribution (fixed seed) and scaled to the total; random contents.
"""
import os
import random
import sys

root, count, total, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(seed)
weights = [rng.expovariate(1.0) for _ in range(count)]
scale = total / sum(weights)
sizes = [int(w * scale) for w in weights]
sizes[-1] += total - sum(sizes)
kinds = ["pak", "dat", "bin", "txt", "dll"]
for i, size in enumerate(sizes):
    folder = os.path.join(root, "data", "pack%02d" % (i // 500), "set%d" % (i // 100 % 5))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%05d.%s" % (i, kinds[i % len(kinds)])), "wb") as f:
        while size > 0:  # in pieces: one file may be larger than memory
            piece = min(size, 1 << 24)
            f.write(os.urandom(piece))
            size -= piece
