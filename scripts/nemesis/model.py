"""What the load writes, known to both the load and the checker."""

CLIENTS = 24          # clients c0..c23 of the clients_devices sequences
MODEMS = 240          # modems 0..239, each given to two clients by every sequence
STATIONS = 24         # base stations 0..23, likewise
PER_COMMAND = 4       # clients per clients_devices command: 6 commands a sequence
PARAMETER_MODEMS = 60 # modems 1000..1059 get device_parameters, versions climbing fast
PARAMETER_BASE = 1000
OWN_MODEM_BASE = 100000  # each device_parameters command also writes one modem of its own, from here up


def owners(k, item, shift):
    """The two clients sequence k gives an item: far apart, and moved by every sequence."""
    first = (item + shift * k) % CLIENTS
    return {"c%d" % first, "c%d" % ((first + CLIENTS // 2) % CLIENTS)}


def modem_clients(k, m):
    return owners(k, m, 1)


def station_clients(k, s):
    return owners(k, s, 2)


def client_items(k, client):
    """The modems and stations sequence k gives a client, as sorted lists of ids."""
    modems = [m for m in range(MODEMS) if client in modem_clients(k, m)]
    stations = [s for s in range(STATIONS) if client in station_clients(k, s)]
    return modems, stations


def version_of(text):
    """'v12' -> 12; anything else -> None (a value the load never wrote)."""
    if isinstance(text, str) and text.startswith("v") and text[1:].isdigit():
        return int(text[1:])
    return None
