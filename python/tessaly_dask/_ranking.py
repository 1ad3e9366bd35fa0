"""The merge rule that makes shard results equal one store's result.

It is `Vectorstore.parallel_search`'s rule: every shard ranks its own rows
and keeps its top_k, the lists are appended in shard order and re-ranked
stably by descending score with NaN after every number (+0.0 and -0.0
equal). An entry of the global top_k is in its own shard's top_k, and the
stable sort keeps equal scores in row order across shard boundaries.
"""
import numpy as np


def merge(per_shard, top_k):
    """The first top_k of each row of the shards' (scores, ids) arrays,
    appended in shard order and re-ranked; the score bits stay as they are."""
    scores = np.concatenate([scores for scores, _ in per_shard], axis=1)
    ids = np.concatenate([ids for _, ids in per_shard], axis=1)
    # lexsort is stable; its last key ranks first. Negating a float32 is
    # exact, and -0.0 and +0.0 compare equal, so they keep their order.
    order = np.lexsort((-scores, np.isnan(scores)), axis=-1)[:, :top_k]
    return np.take_along_axis(scores, order, axis=-1), np.take_along_axis(ids, order, axis=-1)


def as_lists(scores, ids):
    """The arrays as Vectorstore.search_batch's lists of (score, id) tuples."""
    return [list(zip(row_scores, row_ids)) for row_scores, row_ids
            in zip(scores.tolist(), ids.tolist())]
