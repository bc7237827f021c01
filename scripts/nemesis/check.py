"""Reads a run's history and the final state of the Redis master, prints one table, and exits
non-zero for any command acknowledged and lost, any stale key, any command never answered,
any reverse set not what the last sequence says, or staging keys left.

- lost: an answered command whose write is neither on the master nor overwritten by a newer one
  (the key holds an older version, or nothing), counted per command and key;
- stale: a key holding a version older than the newest answered command for it, or a client
  whose sets are not those of the command that wrote its role (a torn transaction);
- reverse sets: every dev:clients and bs:clients set against the last sequence sent.
With --faults, each fault's lines of the instances' logs go to a file of their own.
"""
import argparse
import collections
import datetime
import json
import os
import sys

import model


def read_history(path):
    sends, answers, sequences = {}, collections.Counter(), []
    refused = set()
    with open(path) as f:
        for line in f:
            e = json.loads(line)
            if e["ev"] == "send":
                sends[e["id"]] = e
            elif e["ev"] == "answer":
                answers[e["id"]] += 1
                if not e["ok"]:
                    refused.add(e["id"])
            elif e["ev"] == "sequence":
                sequences.append(e["k"])
    return sends, answers, refused, sequences


def field(state, key, name):
    flat = state.get(key) or []
    pairs = dict(zip(flat[0::2], flat[1::2]))
    return pairs.get(name)


def check(sends, answers, state):
    """Lost (command, key) pairs and stale keys, over both command types."""
    newest = {}  # key -> newest answered version
    lost, stale = [], []
    final = {}
    for cmd_id, e in sends.items():
        if not answers[cmd_id]:
            continue
        if e["type"] == "device_parameters":
            writes = {"dev:properties:" + m: v for m, v in e["modems"].items()}
        else:
            writes = {"client:" + c: v for c, v in e["clients"].items()}
        for key, v in writes.items():
            if key not in final:
                if key.startswith("dev:"):
                    final[key] = model.version_of(field(state, key, "hw_type"))
                else:
                    final[key] = model.version_of(field(state, "client:properties:" + key[7:], "role"))
            newest[key] = max(newest.get(key, 0), v)
            if final[key] is None or final[key] < v:
                lost.append((cmd_id, key, v, final[key]))
    for key, v in sorted(newest.items()):
        if final[key] is not None and final[key] < v:
            stale.append((key, v, final[key]))
    # A client's sets must be those of the command whose role is on the master.
    writer = {}
    for e in sends.values():
        if e["type"] == "clients_devices":
            for c, v in e["clients"].items():
                writer[(c, v)] = e["k"]
    for key, vf in final.items():
        if key.startswith("client:") and vf is not None and (key[7:], vf) in writer:
            client = key[7:]
            modems, stations = model.client_items(writer[(client, vf)], client)
            got_m = sorted(int(x) for x in state.get("client:devices:" + client, []))
            got_s = sorted(int(x) for x in state.get("client:bs:" + client, []) if x != "NULL")
            if got_m != modems or got_s != stations:
                stale.append(("client:devices/bs:" + client, vf, "torn"))
    return lost, stale


def wrong_reverse_sets(state, k):
    wrong = []
    for prefix, count, owners in (("dev:clients:", model.MODEMS, model.modem_clients),
                                  ("bs:clients:", model.STATIONS, model.station_clients)):
        for i in range(count):
            got = set(state.get(prefix + str(i), []))
            if got != owners(k, i):
                wrong.append((prefix + str(i), sorted(got), sorted(owners(k, i))))
    return wrong


def excerpts(faults_path, logs, out_dir, before=3.0, after=10.0):
    """Each fault's log lines, from a little before it began to a little after it healed."""
    os.makedirs(out_dir, exist_ok=True)
    spans = {}
    with open(faults_path) as f:
        for line in f:
            t, n, what, kind, target = line.split()[:5]
            span = spans.setdefault(n, [float(t), float(t), kind, target])
            span[1] = float(t)
    lines = []
    for path in logs:
        name = os.path.basename(path).split(".")[0]
        if not os.path.exists(path):
            continue
        with open(path, errors="replace") as f:
            for line in f:
                try:
                    t = datetime.datetime.fromisoformat(json.loads(line)["time"]).timestamp()
                except (ValueError, KeyError, TypeError):
                    continue
                lines.append((t, name, line))
    lines.sort(key=lambda x: x[0])
    for n, (start, end, kind, target) in spans.items():
        with open(os.path.join(out_dir, "%s-%s-%s.log" % (n, kind, target)), "w") as out:
            for t, name, line in lines:
                if start - before <= t <= end + after:
                    out.write("%s %s" % (name, line))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--history", required=True)
    ap.add_argument("--state", required=True)
    ap.add_argument("--faults")
    ap.add_argument("--logs", nargs="*", default=[])
    ap.add_argument("--excerpts")
    a = ap.parse_args()
    if a.faults:
        excerpts(a.faults, a.logs, a.excerpts)
    sends, answers, refused, sequences = read_history(a.history)
    with open(a.state) as f:
        state = json.load(f)
    lost, stale = check(sends, answers, state)
    unanswered = [i for i in sends if not answers[i]]
    twice = [i for i in sends if answers[i] > 1]
    last = sequences[-1] if sequences else None
    wrong = wrong_reverse_sets(state, last) if last else []
    staging = sorted(k for k in state if k.startswith("tmp"))
    by_type = collections.Counter(e["type"] for e in sends.values())
    rows = [
        ("commands sent", "%d (device_parameters %d, clients_devices %d in %d sequences)"
         % (len(sends), by_type["device_parameters"], by_type["clients_devices"], len(sequences))),
        ("answered", len(sends) - len(unanswered)),
        ("answered more than once", len(twice)),
        ("answered result false", len(refused)),
        ("never answered", len(unanswered)),
        ("acknowledged and lost", len(lost)),
        ("stale keys", len(stale)),
        ("reverse sets not the last sequence's", "%d of %d (sequence %s)" % (len(wrong), model.MODEMS + model.STATIONS,
                                                                         last)),
        ("staging keys left", len(staging)),
    ]
    for name, value in rows:
        print("%-38s %s" % (name, value))
    for what, items in (("lost", lost), ("stale", stale), ("never answered", unanswered),
                        ("reverse set", wrong), ("staging key", staging)):
        for item in items[:10]:
            print("  %s: %s" % (what, item))
    sys.exit(1 if lost or stale or unanswered or wrong or staging or refused else 0)


if __name__ == "__main__":
    main()
