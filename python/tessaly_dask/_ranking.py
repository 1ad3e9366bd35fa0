"""The merge rule that makes shard results equal one store's result.

It is `Vectorstore.parallel_search`'s rule: every shard ranks its own rows
and keeps its top_k, the lists are appended in shard order and re-ranked
stably by descending score with NaN after every number. An entry of the
global top_k is in its own shard's top_k, and the stable sort keeps equal
scores in row order across shard boundaries.
"""
from itertools import chain


def rank_key(pair):
    score = pair[0]
    return (1, 0.0) if score != score else (0, -score)


def merge(lists, top_k):
    """The first top_k of the ranked lists appended in order, re-ranked."""
    return sorted(chain.from_iterable(lists), key=rank_key)[:top_k]
