"""Where the workers and shards are, and where new shards go: spread over
the running workers by rows per thread."""


def workers_now(client):
    """Every worker the scheduler knows: {address: (thread count, status)}."""
    workers = client.scheduler_info()["workers"]
    return {address: (info["nthreads"], info["status"]) for address, info in workers.items()}


def running(workers):
    """The thread counts of the workers that take tasks (not paused, not retiring)."""
    return {address: threads for address, (threads, status) in workers.items()
            if status == "running"}


def holders_of(client, shards):
    """The scheduler's record of the workers holding each shard, by key
    (a cancelled shard is held by none)."""
    live = [shard for shard in shards if not shard.cancelled()]
    return client.who_has(live) if live else {}


def plan_workers(client, shards, lengths, new_lengths, workers):
    """A worker address for each new shard (None when no worker is running).

    Each new shard goes, in order, to the running worker with the fewest rows
    per thread once it holds it, the lowest address winning ties; so equal
    shards go round the workers, and two one-thread workers get the same
    share.
    """
    threads = running(workers)
    if not threads:
        return [None] * len(new_lengths)
    load = dict.fromkeys(threads, 0)
    holders = holders_of(client, shards)
    for shard, length in zip(shards, lengths):
        for address in holders.get(shard.key, ()):
            if address in load:
                load[address] += length
    order = sorted(threads)
    plan = []
    for length in new_lengths:
        chosen = min(order, key=lambda address: (load[address] + length) / threads[address])
        load[chosen] += length
        plan.append(chosen)
    return plan
