"""Classify handwritten digits by their nearest neighbours.

The 1,797 8x8 images of scikit-learn's bundled digits set (no download) are
split at random: 1,500 go into a Vectorstore built from the array in one
call (id = row number), the rest are classified by the majority label of
their 10 most cosine-similar images: one query at a time with `search` and
`parallel_search`, all at once with `search_batch`, `parallel_search_batch`
and `search_arrays` (numpy arrays of scores and ids), and checked against a
numpy brute-force reference.
"""
import time
from collections import Counter

import numpy as np
from sklearn.datasets import load_digits

import tessaly

K = 10
TRAIN = 1500

digits = load_digits()
images = digits.data.astype(np.float32)
labels = digits.target
order = np.random.default_rng(0).permutation(len(images))
train, test = order[:TRAIN], order[TRAIN:]

started = time.perf_counter()
store = tessaly.Vectorstore.from_array(images[train], ids=train)
print(f"built {store!r} in {(time.perf_counter() - started) * 1e3:.1f} ms")


def majority(ids):
    # Ties between labels go to the label of the nearer neighbour.
    counts = Counter(labels[i] for i in ids)
    best = max(counts.values())
    return next(labels[i] for i in ids if counts[labels[i]] == best)


def classify(name, find, batch=None):
    started = time.perf_counter()
    if batch is None:
        neighbours = [[id for _, id in find(images[i])] for i in test]
    else:
        neighbours = [[id for _, id in found] for found in batch(images[test])]
    elapsed = time.perf_counter() - started
    predicted = np.array([majority(ids) for ids in neighbours])
    accuracy = float(np.mean(predicted == labels[test]))
    print(f"{name:<22} accuracy {accuracy:.4f}   {len(test) / elapsed:9.0f} queries/s")
    return neighbours, predicted


unit_rows = images[train] / np.linalg.norm(images[train], axis=1, keepdims=True)


def numpy_reference(query):
    scores = unit_rows @ (query / np.linalg.norm(query))
    return [(float(scores[j]), int(train[j])) for j in np.argsort(-scores, kind="stable")[:K]]


by_search, predicted_search = classify("search", lambda q: store.search(q, K))
by_parallel, predicted_parallel = classify("parallel_search", lambda q: store.parallel_search(q, K))
by_batch, _ = classify("search_batch", None, lambda qs: store.search_batch(qs, K))
by_parallel_batch, _ = classify("parallel_search_batch", None, lambda qs: store.parallel_search_batch(qs, K))
by_arrays, _ = classify("search_arrays", None, lambda qs: [zip(*row) for row in zip(*store.search_arrays(qs, K))])
by_numpy, predicted_numpy = classify("numpy reference", numpy_reference)

same_lists = sum(a == b == c == d == e for a, b, c, d, e in
                 zip(by_search, by_parallel, by_batch, by_parallel_batch, by_arrays))
same_sets = sum(set(a) == set(b) for a, b in zip(by_search, by_numpy))
print(f"search, parallel_search and the three batch methods agree on {same_lists} of {len(test)} queries")
print(f"same neighbours as numpy on {same_sets} of {len(test)} queries, "
      f"same label on {int(np.sum(predicted_search == predicted_numpy))}")
