"""Draws the fault schedule of a run from its seed: the same seed, the same schedule.

Prints one fault a line: start (s after the load began), duration (s), kind, target.
Faults arrive at random (exponential gaps) and overlap, but never two on one resource at once
(an instance is not stopped while it is dead); every one has healed a minute before the end.
"""
import argparse
import random

INSTANCES = ("a", "b")
SENTINELS = ("s0", "s1", "s2")

# kind, weight, targets, resource of a target (None: the target itself), instantaneous
KINDS = [
    ("kill", 2.0, INSTANCES, None, False),
    ("stop", 2.0, INSTANCES, None, False),
    ("kill", 1.5, ("redis-master",), "redis", False),
    ("stop", 1.5, ("redis-master",), "redis", False),
    ("kill", 1.0, SENTINELS, None, False),
    ("stop", 1.0, SENTINELS, None, False),
    ("kill", 0.6, ("broker",), None, False),
    ("stop", 1.0, ("broker",), None, False),
    ("close-connections", 1.5, INSTANCES, "close-{}", True),
    ("cut-redis", 2.0, INSTANCES, "redis-link-{}", False),
    ("cut-broker", 2.0, INSTANCES, "broker-link-{}", False),
    ("stop-log-reader", 1.0, INSTANCES, "log-{}", False),
]


def duration(rng):
    # Mostly seconds, now and then longer than the broker's heartbeat time-out or a fail-over.
    return min(45.0, 1.0 + rng.expovariate(1 / 9.0))


def draw(seed, minutes, mean_gap):
    rng = random.Random(seed)
    first, last = 15.0, minutes * 60.0 - 60.0
    busy = {}  # resource -> time it heals
    faults = []
    t = first
    while True:
        t += rng.expovariate(1 / mean_gap)
        if t >= last:
            return faults
        for _ in range(6):  # a busy resource: draw again
            kind, _, targets, resource, instant = rng.choices(KINDS, weights=[k[1] for k in KINDS])[0]
            target = rng.choice(targets)
            res = (resource or target).format(target)
            if busy.get(res, 0.0) <= t:
                break
        else:
            continue
        d = 0.0 if instant else min(duration(rng), last - t)
        busy[res] = t + d + 2.0  # a moment to come back before the next fault on it
        faults.append((t, d, kind, target))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--minutes", type=float, required=True)
    ap.add_argument("--mean-gap", type=float, default=8.0)
    a = ap.parse_args()
    for t, d, kind, target in draw(a.seed, a.minutes, a.mean_gap):
        print("%.1f %.1f %s %s" % (t, d, kind, target))


if __name__ == "__main__":
    main()
