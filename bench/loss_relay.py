#!/usr/bin/env python3
# A lossy UDP relay on 127.0.0.1 for bench/loss.sh: it forwards datagrams between RADIUS clients
# and one server, dropping each one, each way, by a seeded draw, so every run meets the same loss.
#
# Usage: loss_relay.py --upstream PORT --lanes N --seed S --ports-file F
#                      [--max-seconds T] [--max-datagrams D]
#
# Lanes: N sockets on 127.0.0.1, ports picked by the kernel. A lane carries one login at a time;
# before each login the benchmark names it on the control socket ("lane J LOSS KEY", answered
# "ok"), and every flow of that login draws its drops from random.Random("SEED/KEY/up") towards
# the server and "SEED/KEY/down" towards the client. So login number K of a loss level meets the
# same drops whichever client makes it and whichever lane runs it, in every run.
#
# Flows: each client source address seen on a lane gets its own upstream socket (127.0.0.1, a
# port of its own), so the server's replies go back to the client that sent the request and the
# server sees each login as its own client port (its duplicate detection works per port). A new
# login on a lane closes that lane's earlier flows: their clients have finished.
#
# Control (text datagrams on the control socket, from 127.0.0.1 only):
#   lane J LOSS KEY  -> "ok"      LOSS a probability in [0, 1), KEY any text without spaces
#   report J         -> "UP_SENT UP_DROPPED DOWN_SENT DOWN_DROPPED SECONDS" for lane J's login:
#                       datagrams passed and dropped each way, and the seconds from its first
#                       request to the first Access-Accept passed to its client ("-" if none)
#   quit             -> "ok", then the relay exits
# The ports file, written once every socket is bound: "control PORT" and "lanes PORT...".
# The relay ends by itself after --max-seconds or --max-datagrams, whichever comes first.
import argparse
import os
import random
import selectors
import socket
import sys
import time

HOST = "127.0.0.1"
# RADIUS datagrams are at most 4096 bytes (RFC 2865 section 3); a larger one is relayed whole too.
MAX_DATAGRAM = 65535
MAX_FLOWS_PER_LANE = 16
DRAIN = 64  # datagrams read from one socket per round at most
ACCESS_ACCEPT = 2  # RFC 2865 section 4.2: the Code, the datagram's first byte


class Flow:
    def __init__(self, lane, client, upstream, seed, key):
        self.lane = lane
        self.client = client
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))
        self.sock.connect((HOST, upstream))
        self.sock.setblocking(False)
        self.up = random.Random(f"{seed}/{key}/up")
        self.down = random.Random(f"{seed}/{key}/down")


class Lane:
    def __init__(self, index):
        self.index = index
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))
        self.sock.setblocking(False)
        self.loss = 0.0
        self.key = None
        self.flows = {}  # client address -> Flow
        self.start_login()

    def start_login(self):
        self.counts = [0, 0, 0, 0]  # to the server passed, dropped; to the client passed, dropped
        self.first_request = None  # monotonic time of the login's first datagram from its client
        self.accepted = None  # ... of the first Access-Accept passed to it


class Relay:
    def __init__(self, args):
        self.args = args
        self.sel = selectors.DefaultSelector()
        self.control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.control.bind((HOST, 0))
        self.control.setblocking(False)
        self.sel.register(self.control, selectors.EVENT_READ, ("control", None))
        self.lanes = [Lane(i) for i in range(args.lanes)]
        for lane in self.lanes:
            self.sel.register(lane.sock, selectors.EVENT_READ, ("lane", lane))
        self.datagrams = 0
        self.running = True

    def write_ports(self, path):
        text = f"control {self.control.getsockname()[1]}\n"
        text += "lanes " + " ".join(str(l.sock.getsockname()[1]) for l in self.lanes) + "\n"
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, path)  # the reader never sees half a file

    def close_flows(self, lane):
        for flow in lane.flows.values():
            self.sel.unregister(flow.sock)
            flow.sock.close()
        lane.flows.clear()

    def on_control(self):
        data, peer = self.control.recvfrom(MAX_DATAGRAM)
        if peer[0] != HOST:
            return
        words = data.decode("ascii", "replace").split()
        answer = "error"
        if len(words) == 4 and words[0] == "lane":
            try:
                index, loss = int(words[1]), float(words[2])
            except ValueError:
                index, loss = -1, -1.0
            if 0 <= index < len(self.lanes) and 0.0 <= loss < 1.0:
                lane = self.lanes[index]
                self.close_flows(lane)
                lane.start_login()
                lane.loss, lane.key = loss, words[3]
                answer = "ok"
        elif len(words) == 2 and words[0] == "report" and words[1].isdigit():
            if int(words[1]) < len(self.lanes):
                lane = self.lanes[int(words[1])]
                took = "-"
                if lane.accepted is not None:
                    took = f"{lane.accepted - lane.first_request:.6f}"
                answer = " ".join(str(c) for c in lane.counts) + " " + took
        elif words == ["quit"]:
            answer = "ok"
            self.running = False
        self.control.sendto(answer.encode(), peer)

    def on_lane(self, lane):
        data, client = lane.sock.recvfrom(MAX_DATAGRAM)
        now = time.monotonic()
        if lane.key is None:
            return  # no login named on this lane yet
        flow = lane.flows.get(client)
        if flow is None:
            if len(lane.flows) >= MAX_FLOWS_PER_LANE:
                return
            flow = Flow(lane, client, self.args.upstream, self.args.seed, lane.key)
            lane.flows[client] = flow
            self.sel.register(flow.sock, selectors.EVENT_READ, ("flow", flow))
        if lane.first_request is None:
            lane.first_request = now
        if flow.up.random() < lane.loss:
            lane.counts[1] += 1
            return
        lane.counts[0] += 1
        try:
            flow.sock.send(data)
        except OSError:
            pass  # the server's port refused an earlier datagram (ICMP): as if lost

    def on_flow(self, flow):
        try:
            data = flow.sock.recv(MAX_DATAGRAM)
        except BlockingIOError:
            raise
        except OSError:
            return  # ICMP port unreachable from the server's side
        lane = flow.lane
        if flow.down.random() < lane.loss:
            lane.counts[3] += 1
            return
        lane.counts[2] += 1
        try:
            lane.sock.sendto(data, flow.client)
        except OSError:
            return
        if lane.accepted is None and data[:1] == bytes([ACCESS_ACCEPT]):
            lane.accepted = time.monotonic()

    def run(self):
        deadline = time.monotonic() + self.args.max_seconds
        while self.running and self.datagrams < self.args.max_datagrams:
            left = deadline - time.monotonic()
            if left <= 0:
                print("loss_relay: --max-seconds reached, exiting", file=sys.stderr)
                break
            ready = self.sel.select(timeout=min(left, 1.0))
            # The control socket last, each socket drained: a datagram a client sent before the
            # benchmark named the lane's next login is counted for its own login, not the next.
            ready.sort(key=lambda event: event[0].data[0] == "control")
            for key, _ in ready:
                kind, owner = key.data
                for _ in range(DRAIN):
                    if self.datagrams >= self.args.max_datagrams:
                        break
                    try:
                        if kind == "control":
                            self.on_control()
                        elif kind == "lane":
                            self.on_lane(owner)
                        elif owner.sock.fileno() >= 0:
                            self.on_flow(owner)
                        else:
                            break  # a flow closed by a control datagram of this round
                    except BlockingIOError:
                        break  # drained
                    self.datagrams += 1
        else:
            if self.running:
                print("loss_relay: --max-datagrams reached, exiting", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--upstream", type=int, required=True, help="the server's UDP port")
    parser.add_argument("--lanes", type=int, default=8)
    parser.add_argument("--seed", default="1")
    parser.add_argument("--ports-file", required=True)
    parser.add_argument("--max-seconds", type=float, default=3600.0)
    parser.add_argument("--max-datagrams", type=int, default=1_000_000)
    args = parser.parse_args()
    if not 1 <= args.lanes <= 64:
        parser.error("--lanes must be 1..64")
    relay = Relay(args)
    relay.write_ports(args.ports_file)
    relay.run()


if __name__ == "__main__":
    main()
