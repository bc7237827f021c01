"""The load of a nemesis run: both command types at a steady rate, with a known history.

Every command carries versions in its data: a device_parameters command gives each of its modems
its next hw_type "v<n>" (and a modem of its own its first), a clients_devices command each of its
clients its next role "v<n>".
clients_devices commands come in sequences (model.py says who gets what in sequence k); a
sequence starts only once the last one is wholly answered and QUIET seconds have passed, so
that each is promoted on its own. Publications are confirmed by the broker and published again
(the same cmd_id) until they are; answers come on a durable queue of our own.

The history, one JSON object a line: send, confirm, answer, sequence, end.
An AMQP client of its own (pika, a Debian package) rather than the service's: the load must not
share the bugs of what it tests.
"""
import argparse
import json
import random
import threading
import time
import uuid

import pika

import model

REPLY_QUEUE = "nemesis.replies"
SENDER = "nemesis"
QUIET = 30.0


class History:
    def __init__(self, path):
        self._file = open(path, "a", buffering=1)
        self._lock = threading.Lock()
        self.answered = set()

    def write(self, event, **fields):
        fields.update(ev=event, t=round(time.time(), 3))
        with self._lock:
            if event == "answer":
                self.answered.add(fields["id"])
            self._file.write(json.dumps(fields, sort_keys=True) + "\n")

    def is_answered(self, cmd_id):
        with self._lock:
            return cmd_id in self.answered


def parameters(port):
    return pika.ConnectionParameters(host="127.0.0.1", port=port, heartbeat=5, blocked_connection_timeout=30,
                                     socket_timeout=5, connection_attempts=1)


def declare_replies(channel):
    channel.queue_declare(REPLY_QUEUE, durable=True, arguments={"x-queue-type": "quorum"})
    channel.queue_bind(REPLY_QUEUE, "norva.api", routing_key=SENDER)


def take_answers(port, history, done):
    while not done.is_set():
        try:
            connection = pika.BlockingConnection(parameters(port))
            channel = connection.channel()
            declare_replies(channel)
            for method, _, body in channel.consume(REPLY_QUEUE, inactivity_timeout=0.5):
                if done.is_set():
                    break
                if method is None:
                    continue
                try:
                    reply = json.loads(body)
                    data = reply.get("data")
                    ok = not (isinstance(data, dict) and data.get("result") is False)
                    # One we took before our connection went, given again: not the service's duplicate.
                    if not (method.redelivered and history.is_answered(str(reply.get("cmd_id")))):
                        history.write("answer", id=str(reply.get("cmd_id")), ok=ok)
                except ValueError:
                    history.write("answer", id="", ok=False)
                channel.basic_ack(method.delivery_tag)
            connection.close()
        except Exception:  # pika fails in many ways (a connector time-out is no AMQPError): connect again
            time.sleep(1)


class Publisher:
    def __init__(self, port, history):
        self._port, self._history = port, history
        self._channel = None

    def publish(self, routing_key, command):
        body = json.dumps(command)
        while True:
            try:
                if self._channel is None:
                    connection = pika.BlockingConnection(parameters(self._port))
                    self._channel = connection.channel()
                    self._channel.confirm_delivery()
                    declare_replies(self._channel)
                self._channel.basic_publish("norva.auth", routing_key, body, mandatory=True,
                                            properties=pika.BasicProperties(delivery_mode=2))
                self._history.write("confirm", id=command["cmd_id"])
                return
            except Exception:  # as above: the same command again, on a new connection
                try:
                    self._channel.connection.close()
                except Exception:  # a connection already gone says so in many ways
                    pass
                self._channel = None
                time.sleep(1)


class Load:
    def __init__(self, args, history):
        self.rng = random.Random(args.seed)
        self.history = history
        self.publisher = Publisher(args.port, history)
        self.modem_version = {}
        self.client_version = {}
        self.sequence = 0
        self.pending = []       # commands of the sequence not yet sent
        self.sent_ids = []      # ids of the sequence sent
        self.state = "quiet"    # quiet -> sending -> draining -> quiet
        self.next_start = time.time()
        self.all_ids = []
        self.own_modem = model.OWN_MODEM_BASE

    def send(self, msg_type, routing_key, data, **known):
        cmd_id = "{%s}" % uuid.UUID(int=self.rng.getrandbits(128), version=4)
        self.all_ids.append(cmd_id)
        self.history.write("send", id=cmd_id, type=msg_type, **known)
        self.publisher.publish(routing_key, {"msg_type": msg_type, "sender": SENDER, "cmd_id": cmd_id,
                                             "data": data})
        return cmd_id

    def send_parameters(self):
        modems = self.rng.sample(range(model.PARAMETER_BASE, model.PARAMETER_BASE + model.PARAMETER_MODEMS),
                                 self.rng.randint(1, 3))
        # and one modem of its own, written once: a lost command cannot hide behind a newer one
        self.own_modem += 1
        modems.append(self.own_modem)
        data, versions = [], {}
        for m in modems:
            v = self.modem_version[m] = self.modem_version.get(m, 0) + 1
            data.append({"modem_id": m, "hw_type": "v%d" % v, "protocol": "nemesis"})
            versions[str(m)] = v
        self.send("device_parameters", "device.parameters", data, modems=versions)

    def start_sequence(self):
        self.sequence += 1
        clients = ["c%d" % c for c in range(model.CLIENTS)]
        self.pending = [clients[i:i + model.PER_COMMAND] for i in range(0, len(clients), model.PER_COMMAND)]
        self.sent_ids = []
        self.state = "sending"
        self.history.write("sequence", k=self.sequence)

    def send_clients(self):
        data, versions = [], {}
        for client in self.pending.pop(0):
            v = self.client_version[client] = self.client_version.get(client, 0) + 1
            modems, stations = model.client_items(self.sequence, client)
            data.append({"api_key": client, "role": "v%d" % v, "modem_ids": modems, "station_ids": stations})
            versions[client] = v
        self.sent_ids.append(self.send("clients_devices", "clients.devices", data, k=self.sequence,
                                       clients=versions))
        if not self.pending:
            self.state = "draining"

    def tick(self, sending):
        """One command, or none: True while a sequence is under way."""
        now = time.time()
        if self.state == "draining" and all(self.history.is_answered(i) for i in self.sent_ids):
            self.state, self.next_start = "quiet", now + QUIET
        if self.state == "quiet" and sending and now >= self.next_start:
            self.start_sequence()
        if self.state == "sending" and self.rng.random() < 0.5:
            self.send_clients()
        elif sending:
            self.send_parameters()
        return self.state != "quiet"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--history", required=True)
    ap.add_argument("--send-seconds", type=float, required=True)
    ap.add_argument("--answer-seconds", type=float, default=120.0)
    ap.add_argument("--rate", type=float, default=10.0)
    a = ap.parse_args()
    history = History(a.history)
    done = threading.Event()
    answers = threading.Thread(target=take_answers, args=(a.port, history, done), daemon=True)
    answers.start()
    load = Load(a, history)
    start = time.time()
    next_tick = start
    # Sends until the time is up and the sequence under way is whole.
    while load.tick(time.time() - start < a.send_seconds) or time.time() - start < a.send_seconds:
        next_tick = max(next_tick + 1 / a.rate, time.time() - 1)
        time.sleep(max(0.0, next_tick - time.time()))
        if time.time() - start > a.send_seconds + a.answer_seconds:
            break
    history.write("stop")
    deadline = time.time() + a.answer_seconds
    while time.time() < deadline and not all(history.is_answered(i) for i in load.all_ids):
        time.sleep(0.5)
    done.set()
    history.write("end")


if __name__ == "__main__":
    main()
