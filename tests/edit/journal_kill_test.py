"""mhost edit killed at random moments while edits stream in, and started
again with --recover: no acknowledged edit is ever lost.

  journal_kill_test.py MHOST WORKDIR [ROUNDS] [SEED]

Each round starts `mhost edit` on a fresh copy of a scene, sends it a stream
of edits, drags (edits that merge), undos and redos, one at a time, and
kills it (SIGKILL, as the OOM killer or a power cut would) after a random
delay. Then `mhost edit --recover` opens the scene again, saves and quits.
The saved scene must be what `mhost run` makes of the edits the killed
session acknowledged, in effect after its undos and redos, or of those and
the one in flight when it died. The rounds are seeded: a failure names its
seed and round, which repeat it."""
import http.client
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def start(binary, scene, *extra):
    proc = subprocess.Popen([binary, "edit", scene, "--port", "0", *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    address = proc.stdout.readline().strip()
    if not address.startswith("http://127.0.0.1:"):
        proc.kill()
        sys.exit(f"mhost edit printed {address!r} first:\n{proc.stderr.read()}")
    return proc, int(address.split(":")[2].split("/")[0]), address.split("token=")[1]


class Session:
    """One keep-alive connection to a session."""

    def __init__(self, port, token):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        self.headers = {"X-Mhost-Token": token, "Content-Type": "application/json"}

    def post(self, path, body):
        # Bytes, so that headers and body go in one packet (no delayed ACK).
        self.conn.request("POST", path, body=json.dumps(body).encode(), headers=self.headers)
        response = self.conn.getresponse()
        return response.status, json.loads(response.read())


def same_targets(a, b):
    key = ("op", "node", "parm", "component", "time")
    return a["op"] == "set" and b["op"] == "set" and \
        all(a.get(k) == b.get(k) for k in key)


class History:
    """What the session's history holds after each acknowledged change: the
    editor's own rules (a merged edit takes the place of the step before
    when both set the same parameter; undo reaches back 100 steps)."""

    def __init__(self):
        self.steps, self.done, self.floor, self.mergeable = [], 0, 0, False

    def apply(self, change):
        kind, action, merge = change
        # An undo or redo with nothing to do changes nothing, not even
        # whether the next edit may merge.
        if kind == "undo":
            if self.done > self.floor:
                self.done -= 1
                self.mergeable = False
        elif kind == "redo":
            if self.done < len(self.steps):
                self.done += 1
                self.mergeable = False
        else:
            del self.steps[self.done:]
            if merge and self.mergeable and self.done > self.floor and \
                    same_targets(self.steps[-1], action):
                self.steps[-1] = action
            else:
                self.steps.append(action)
                self.done += 1
            self.mergeable = True
            self.floor = max(self.floor, self.done - 100)

    def script(self):
        return [self.steps[i] for i in range(self.done)]


def random_change(rng, made):
    roll = rng.random()
    if roll < 0.12:
        return ("undo", None, False)
    if roll < 0.2:
        return ("redo", None, False)
    if roll < 0.3:
        made[0] += 1
        return ("edit", {"op": "create", "type": "null", "name": f"n{made[0]}"}, False)
    node = rng.choice(["base", "arm"])
    parm = rng.choice(["t", "r"])
    value = [round(rng.uniform(-5, 5), 3) for _ in range(3)]
    return ("edit", {"op": "set", "node": node, "parm": parm, "value": value}, rng.random() < 0.5)


def expected_scene(binary, work, start, actions, name):
    script = os.path.join(work, name + ".script.json")
    out = os.path.join(work, name + ".json")
    with open(script, "w") as f:
        json.dump(actions, f)
    done = subprocess.run([binary, "run", script, "--scene", start, "--save", out],
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"mhost run of the acknowledged edits failed:\n{done.stderr}")
    with open(out, "rb") as f:
        return f.read()


def one_round(binary, work, origin, rng, label):
    scene = os.path.join(work, "scene.json")
    journal = os.path.join(work, ".scene.json.mhost-journal")
    for stale in (scene, journal):
        if os.path.exists(stale):
            os.remove(stale)
    shutil.copyfile(origin, scene)
    proc, port, token = start(binary, scene)
    delay = rng.uniform(0.0, 0.35)
    killer = threading.Timer(delay, lambda: proc.send_signal(signal.SIGKILL))
    history = History()
    in_flight = None
    made = [0]
    killer.start()
    try:
        session = Session(port, token)
        while proc.poll() is None:
            change = random_change(rng, made)
            in_flight = change
            kind, action, merge = change
            if kind == "edit":
                status, answer = session.post("/api/edit", {"edit": action, "merge": merge})
            else:
                status, answer = session.post("/api/" + kind, {})
            if status != 200:
                sys.exit(f"{label}: the session refused {change}: {answer}")
            history.apply(change)
            in_flight = None
    except (ConnectionError, http.client.HTTPException, OSError):
        pass  # killed while a change was on its way
    killer.join()
    proc.wait()
    proc.stdout.close()
    proc.stderr.close()

    # Started again, told to recover; saved; ended.
    again, port, token = start(binary, scene, "--recover")
    session = Session(port, token)
    status, answer = session.post("/api/save", {})
    check(status == 200, f"{label}: the recovered session saves ({status}: {answer.get('error')})")
    status, _ = session.post("/api/quit", {})
    session.conn.close()  # the server ends once no connection is open
    again.wait(timeout=30)
    err = again.stderr.read()
    again.stdout.close()
    again.stderr.close()
    check("no longer applies" not in err, f"{label}: an edit was dropped: {err}")
    check(not os.path.exists(journal), f"{label}: the journal stayed after a save and a quit")
    with open(scene, "rb") as f:
        saved = f.read()

    acknowledged = history.script()
    allowed = [expected_scene(binary, work, origin, acknowledged, "acknowledged")]
    if in_flight is not None:
        history.apply(in_flight)
        allowed.append(expected_scene(binary, work, origin, history.script(), "in-flight"))
    check(saved in allowed,
          f"{label}: the recovered scene is not what the {len(acknowledged)} acknowledged "
          f"edits (or the one in flight) make")
    return len(acknowledged)


def main():
    binary, work = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    os.makedirs(work, exist_ok=True)
    start_scene = os.path.join(work, "start.json")
    script = os.path.join(work, "make.json")
    with open(script, "w") as f:
        json.dump([{"op": "create", "type": "null", "name": "base"},
                   {"op": "create", "type": "null", "name": "arm"},
                   {"op": "wire", "node": "arm", "input": 0, "from": "base"}], f)
    subprocess.run([binary, "run", script, "--save", start_scene], check=True)
    began = time.monotonic()
    edits = 0
    for index in range(rounds):
        rng = random.Random(seed * 1000003 + index)
        edits += one_round(binary, work, start_scene, rng, f"seed {seed} round {index}")
    print(f"{rounds} rounds, {edits} acknowledged edits, {time.monotonic() - began:.1f} s")
    if failures:
        sys.exit(f"{len(failures)} failures")
    print("journal kill test: passed")


if __name__ == "__main__":
    main()
