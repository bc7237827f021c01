"""The nemesis checker fails where it must: a write answered and then missing, a key left with an
older value, a command never answered, a reverse set of the wrong sequence."""
import json
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
checker = os.path.join(here, "..", "scripts", "nemesis", "check.py")
sys.path.insert(0, os.path.dirname(checker))
import model  # noqa: E402


def run(history, state):
    """The checker's exit status and its table's rows, by name."""
    with tempfile.TemporaryDirectory() as d:
        h, s = os.path.join(d, "history"), os.path.join(d, "state")
        with open(h, "w") as f:
            f.writelines(json.dumps(e) + "\n" for e in history)
        with open(s, "w") as f:
            json.dump(state, f)
        p = subprocess.run([sys.executable, checker, "--history", h, "--state", s], capture_output=True, text=True)
    rows = [line.split("  ") for line in p.stdout.splitlines() if not line.startswith(" ")]
    return p.returncode, {r[0]: r[-1].strip() for r in rows}


def sequence_state(k):
    state = {"dev:clients:%d" % m: sorted(model.modem_clients(k, m)) for m in range(model.MODEMS)}
    state.update({"bs:clients:%d" % s: sorted(model.station_clients(k, s)) for s in range(model.STATIONS)})
    modems, stations = model.client_items(k, "c0")
    state.update({"client:properties:c0": ["role", "v1"], "client:devices:c0": [str(m) for m in modems],
                  "client:bs:c0": [str(s) for s in stations]})
    return state


history = [
    {"ev": "sequence", "k": 1},
    {"ev": "send", "id": "x", "type": "clients_devices", "k": 1, "clients": {"c0": 1}},
    {"ev": "answer", "id": "x", "ok": True},
    {"ev": "send", "id": "p1", "type": "device_parameters", "modems": {"1000": 1}},
    {"ev": "answer", "id": "p1", "ok": True},
    {"ev": "answer", "id": "p1", "ok": True},
    {"ev": "send", "id": "p2", "type": "device_parameters", "modems": {"1000": 2, "1001": 1}},
    {"ev": "answer", "id": "p2", "ok": True},
]
good = sequence_state(1)
good.update({"dev:properties:1000": ["hw_type", "v2"], "dev:properties:1001": ["hw_type", "v1"]})
status, table = run(history, good)
assert status == 0 and table["answered more than once"] == "1" and table["acknowledged and lost"] == "0", (status, table)

stale = dict(good, **{"dev:properties:1000": ["hw_type", "v1"]})
del stale["dev:properties:1001"]
status, table = run(history, stale)
assert status == 1 and table["acknowledged and lost"] == "2" and table["stale keys"] == "1", (status, table)

status, table = run(history + [{"ev": "send", "id": "p3", "type": "device_parameters", "modems": {"1002": 1}}], good)
assert status == 1 and table["never answered"] == "1", (status, table)

status, table = run(history + [{"ev": "sequence", "k": 2}], good)
assert status == 1 and table["reverse sets not the last sequence's"].startswith("264 of 264"), (status, table)
print("ok")
