#!/usr/bin/env python3
# The logins of bench/loss.sh: every client logs in N times at each loss level through the lossy
# relay (bench/loss_relay.py), a few lanes at a time, and the results come out as one table.
#
# Usage: loss_logins.py --relay-ports F --secret-file F --tool QVRAD_AUTH --out DIR
#                       [--logins N] [--levels 0,10,30]
#
# A login is one Access-Request for a user the server accepts, within a budget of 5 s: qvrad-auth
# --timeout 5, radclient -r 3 -t 1.67, pyrad retries=3 timeout=1.67 (three sends 1.67 s apart).
# It is accepted when the client says so (exit status 0, "Received Access-Accept", an
# AccessAccept reply) within the budget. Its time to accept is measured by the relay, the same
# way for every client: from the login's first request to the first Access-Accept passed to it,
# so neither a client's start-up nor its exit counts. A peer that is not installed is skipped
# with a message. Raw results (also each client's own run time) go to DIR/loss.json. Exit
# status 1 when a client missed a login without loss (the relay or the setup is broken), after
# the table.
import argparse
import json
import math
import os
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

USER, PASSWORD = "alice", "alice-pass"  # an accepted user of tests/freeradius/users.tsv
BUDGET = 5.0  # seconds per login, every client
TRIES, TRY_TIMEOUT = 3, 1.67  # radclient and pyrad: three sends, 1.67 s apart
KILL_AFTER = BUDGET + 10.0  # a client process still running then is killed: a failure
CONTROL_TRIES, CONTROL_TIMEOUT = 3, 2.0
# pyrad needs a dictionary; these are the attributes a login uses (RFC 2865 section 5).
PYRAD_DICTIONARY = """\
ATTRIBUTE User-Name 1 string
ATTRIBUTE User-Password 2 string
ATTRIBUTE Reply-Message 18 string
"""


def control(sock, port, text):
    """One request to the relay's control socket; bounded tries, each with a timeout."""
    for _ in range(CONTROL_TRIES):
        sock.sendto(text.encode(), ("127.0.0.1", port))
        sock.settimeout(CONTROL_TIMEOUT)
        try:
            answer = sock.recv(512).decode()
        except socket.timeout:
            continue
        if answer == "error":
            raise RuntimeError(f"the relay refused {text!r}")
        return answer
    raise RuntimeError(f"the relay does not answer {text!r}")


def run_process(argv, stdin_text):
    """Runs a client process: (its output or None when it was killed, seconds from start to end)."""
    start = time.monotonic()
    try:
        done = subprocess.run(argv, input=stdin_text.encode(), capture_output=True,
                              timeout=KILL_AFTER)
    except subprocess.TimeoutExpired:
        return None, time.monotonic() - start
    return done, time.monotonic() - start


class QvradAuth:
    name = "qvrad-auth `--timeout 5`"

    def __init__(self, tool, secret_file):
        self.argv = [tool, "--server", "127.0.0.1", "--secret-file", secret_file, "--user", USER,
                     "--password-stdin", "--timeout", str(int(BUDGET))]

    def login(self, port):
        done, took = run_process(self.argv + ["--port", str(port)], PASSWORD + "\n")
        return done is not None and done.returncode == 0, took


class Radclient:
    name = f"radclient `-r {TRIES} -t {TRY_TIMEOUT}`"

    def __init__(self, program, secret_file):
        self.argv = [program, "-r", str(TRIES), "-t", str(TRY_TIMEOUT), "-S", secret_file]

    def login(self, port):
        # radclient adds the Message-Authenticator (RFC 3579 section 3.2) only when asked to.
        request = (f'User-Name = "{USER}", User-Password = "{PASSWORD}", '
                   'Message-Authenticator = 0x00\n')
        done, took = run_process(self.argv + [f"127.0.0.1:{port}", "auth"], request)
        accepted = done is not None and b"Received Access-Accept" in done.stdout
        return accepted, took


class Pyrad:
    name = f"pyrad `retries={TRIES}, timeout={TRY_TIMEOUT}`"

    def __init__(self, modules, secret, dictionary_path):
        self.client, dictionary, self.packet = modules
        self.secret = secret
        self.dictionary = dictionary.Dictionary(dictionary_path)

    def login(self, port):
        client = self.client.Client(server="127.0.0.1", authport=port, secret=self.secret,
                                    dict=self.dictionary)
        client.retries, client.timeout = TRIES, TRY_TIMEOUT
        request = client.CreateAuthPacket(code=self.packet.AccessRequest, User_Name=USER)
        request["User-Password"] = request.PwCrypt(PASSWORD)
        start = time.monotonic()
        try:
            reply = client.SendPacket(request)
            accepted = reply.code == self.packet.AccessAccept
        except self.client.Timeout:
            accepted = False
        took = time.monotonic() - start
        client._CloseSocket()  # pyrad 2.1 has no public close
        return accepted, took


def make_clients(args, secret):
    clients = [QvradAuth(args.tool, args.secret_file)]
    radclient = shutil.which("radclient")
    if radclient:
        clients.append(Radclient(radclient, args.secret_file))
    else:
        print("loss: radclient not installed (freeradius-utils): skipped", file=sys.stderr)
    try:
        import pyrad.client
        import pyrad.dictionary
        import pyrad.packet
    except ImportError:
        print(f"loss: pyrad not importable by {sys.executable} (python3-pyrad): skipped",
              file=sys.stderr)
    else:
        path = os.path.join(args.out, "pyrad.dictionary")
        with open(path, "w") as f:
            f.write(PYRAD_DICTIONARY)
        clients.append(Pyrad((pyrad.client, pyrad.dictionary, pyrad.packet), secret, path))
    return clients


def run_batch(client, level, logins, control_port, lane_ports):
    """Logins 0..logins-1 of one client at one loss level, one lane per thread."""
    results = [None] * logins
    next_index = [0]
    lock = threading.Lock()
    failures = []

    def lane(number, port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            for _ in range(logins):  # bounded: each pass takes one login or ends
                with lock:
                    index = next_index[0]
                    next_index[0] += 1
                if index >= logins:
                    return
                # The key makes login `index` of this level meet the same drops for every client.
                control(sock, control_port, f"lane {number} {level / 100} {level}/{index}")
                accepted, client_seconds = client.login(port)
                report = control(sock, control_port, f"report {number}").split()
                counts = [int(x) for x in report[:4]]
                wire = None if report[4] == "-" else float(report[4])
                results[index] = {"accepted": accepted and (wire is None or wire <= BUDGET),
                                  "client_accepted": accepted, "seconds": wire,
                                  "client_seconds": client_seconds, "counts": counts}
        except Exception as e:  # reported below; the other lanes finish their logins
            failures.append(e)
        finally:
            sock.close()

    threads = [threading.Thread(target=lane, args=(n, p))
               for n, p in enumerate(lane_ports[:logins])]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]
    return results


def seconds(value):
    return f"{value:.3f} s"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay-ports", required=True)
    parser.add_argument("--secret-file", required=True)
    parser.add_argument("--tool", required=True, help="the built qvrad-auth")
    parser.add_argument("--out", required=True, help="folder for the raw results")
    parser.add_argument("--logins", type=int, default=100)
    parser.add_argument("--levels", default="0,10,30", help="loss each way, in percent")
    args = parser.parse_args()
    levels = [int(x) for x in args.levels.split(",")]
    if not 1 <= args.logins <= 1000 or not all(0 <= x < 100 for x in levels):
        parser.error("--logins 1..1000, --levels 0..99")

    with open(args.relay_ports) as f:
        fields = dict(line.split(" ", 1) for line in f.read().splitlines())
    control_port = int(fields["control"])
    lane_ports = [int(p) for p in fields["lanes"].split()]
    with open(args.secret_file, "rb") as f:
        secret = f.readline().rstrip(b"\r\n")
    clients = make_clients(args, secret)

    rows, raw, broken = [], [], []
    for level in levels:
        for client in clients:
            short = client.name.split(" `")[0]
            print(f"loss: {level} % each way, {short}, {args.logins} logins...", file=sys.stderr)
            results = run_batch(client, level, args.logins, control_port, lane_ports)
            accepted = [r for r in results if r["accepted"]]
            times = sorted(r["seconds"] for r in accepted if r["seconds"] is not None)
            if len(times) != len(accepted):
                broken.append(f"{client.name} at {level} %: an accepted login without an "
                              "Access-Accept seen by the relay")
            if level == 0 and len(accepted) != args.logins:
                broken.append(f"{client.name} at 0 %: {len(accepted)}/{args.logins}")
            median = seconds(statistics.median(times)) if times else "–"
            # p90 by nearest rank over the accepted logins
            p90 = seconds(times[math.ceil(0.9 * len(times)) - 1]) if times else "–"
            up_sent, up_dropped, down_sent, down_dropped = (
                sum(r["counts"][i] for r in results) for i in range(4))
            rows.append(f"| {level} % | {client.name} | {len(accepted)}/{args.logins} | {median} "
                        f"| {p90} | {up_dropped}/{up_sent + up_dropped} · "
                        f"{down_dropped}/{down_sent + down_dropped} |")
            raw.append({"loss_percent": level, "client": client.name, "logins": results})

    with open(os.path.join(args.out, "loss.json"), "w") as f:
        json.dump(raw, f, indent=1)
    print("| loss each way | client | accepted | median time to accept | 90th percentile "
          "| datagrams dropped: to server · to client |")
    print("|---|---|---|---|---|---|")
    print("\n".join(rows))
    if broken:
        print("loss: logins failed without loss: " + "; ".join(broken), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
