"""mhost edit over plain HTTP: who gets in, and how a session ends.

  http_test.py MHOST WORKDIR

Starts `mhost edit` on a scene in WORKDIR and checks, with raw requests,
that it listens on 127.0.0.1 only, refuses (403) a request without its
token, with another Host (DNS rebinding) or from another Origin, refuses a
body over the cap (413), serves nothing but its own page and data, and
that Ctrl-C with unsaved edits says so before it quits, the file untouched;
and that a session that cannot listen says so and leaves nothing behind."""
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import time

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def start(binary, scene):
    proc = subprocess.Popen([binary, "edit", scene, "--port", "0"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    address = proc.stdout.readline().strip()
    if not address.startswith("http://127.0.0.1:"):
        proc.kill()
        sys.exit(f"mhost edit printed {address!r} first:\n{proc.stderr.read()}")
    port = int(address.split(":")[2].split("/")[0])
    token = address.split("token=")[1]
    return proc, port, token


def ask(port, method, path, body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request(method, path, body=body, headers=headers or {})
    response = conn.getresponse()
    data = response.read()
    conn.close()
    return response.status, data


def other_addresses(host_name):
    """This machine's IPv4 addresses besides the loopback ones, as its host
    name resolves; none where the name does not resolve (a fresh container,
    a laptop off its network)."""
    try:
        found = socket.getaddrinfo(host_name, None, socket.AF_INET)
    except socket.gaierror:
        return []
    return sorted({entry[4][0] for entry in found if not entry[4][0].startswith("127.")})


def main():
    binary, work = sys.argv[1:3]
    # A host name that does not resolve has no other address to try.
    check(other_addresses("no-such-host.invalid") == [],
          "a host name that does not resolve gives no other address")
    os.makedirs(work, exist_ok=True)
    scene = os.path.join(work, "scene.json")
    for stale in (scene, os.path.join(work, ".scene.json.mhost-journal")):
        if os.path.exists(stale):
            os.remove(stale)
    proc, port, token = start(binary, scene)
    mine = {"X-Mhost-Token": token}
    try:
        status, _ = ask(port, "GET", "/api/state", headers=mine)
        check(status == 200, f"the session answers its token ({status})")
        status, page = ask(port, "GET", f"/?token={token}")
        check(status == 200 and b"data-action=\"save\"" in page, "the page is served with the token")

        for what, path, headers in [
            ("no token", "/api/state", {}),
            ("no token on the page", "/", {}),
            ("a wrong token", "/api/state", {"X-Mhost-Token": "0" * 32}),
            ("another Host", "/api/state", {**mine, "Host": f"attacker.example:{port}"}),
            ("another port in Host", "/api/state", {**mine, "Host": "127.0.0.1:1"}),
            ("another Origin", "/api/state", {**mine, "Origin": "http://attacker.example"}),
        ]:
            status, body = ask(port, "GET", path, headers=headers)
            check(status == 403 and b"nodes" not in body, f"{what} is refused with 403 ({status})")
        status, _ = ask(port, "POST", "/api/save", body=b"{}",
                        headers={**mine, "Origin": "http://evil.example"})
        check(status == 403, f"a save from another origin is refused ({status})")
        check(not os.path.exists(scene), "a refused save writes nothing")

        status, _ = ask(port, "POST", "/api/edit", body=b" " * (2 << 20), headers=mine)
        check(status == 413, f"a body over the cap is refused with 413 ({status})")
        # A chunked body has no length to check first: refused, unread.
        chunks = (b" " * 65536 for _ in range(64))
        status, _ = ask(port, "POST", "/api/edit", body=chunks,
                        headers={**mine, "Transfer-Encoding": "chunked"})
        check(status == 413, f"a chunked body is refused with 413 ({status})")
        status, _ = ask(port, "POST", "/api/edit", body=(b"x" for _ in range(3)),
                        headers={"Transfer-Encoding": "chunked"})
        check(status == 403, f"and without the token with 403 ({status})")
        for path in ["/etc/passwd", "/../scene.json", "/scene.json", "/api/../../etc/passwd"]:
            status, _ = ask(port, "GET", path + f"?token={token}")
            check(status == 404, f"{path} is not served ({status})")
        status, _ = ask(port, "POST", "/api/edit", headers=mine, body=json.dumps(
            {"edit": {"op": "save", "path": os.path.join(work, "elsewhere.json")}}).encode())
        check(status == 400, f"an edit cannot name a path ({status})")
        # The session's journal, and nothing else.
        check(os.listdir(work) == [".scene.json.mhost-journal"],
              f"nothing was written: {os.listdir(work)}")

        # Only the loopback address listens.
        for address in other_addresses(socket.gethostname()):
            try:
                socket.create_connection((address, port), timeout=2).close()
                check(False, f"the session answers on {address}")
            except OSError:
                pass

        # An edit, then Ctrl-C: the first says what would be lost.
        status, _ = ask(port, "POST", "/api/edit", headers=mine, body=json.dumps(
            {"edit": {"op": "create", "type": "null", "name": "a"}}).encode())
        check(status == 200, f"an edit is made ({status})")
        proc.send_signal(signal.SIGINT)
        time.sleep(0.5)
        check(proc.poll() is None, "a first Ctrl-C with unsaved edits does not quit")
        status, _ = ask(port, "GET", "/api/state", headers=mine)
        check(status == 200, "the session still serves after it")
        proc.send_signal(signal.SIGINT)
        err = proc.communicate(timeout=10)[1]
        check(proc.returncode == 0, f"a second Ctrl-C quits ({proc.returncode})")
        check("unsaved edits" in err and "were not saved" in err, f"and says so:\n{err}")
        check(not os.path.exists(scene), "the scene was not written")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()

    # Saved, a session ends at the first Ctrl-C, and at the page's Quit.
    proc, port, token = start(binary, scene)
    ask(port, "POST", "/api/edit", headers={"X-Mhost-Token": token},
        body=b'{"edit": {"op": "create", "type": "null", "name": "b"}}')
    status, _ = ask(port, "POST", "/api/save", headers={"X-Mhost-Token": token}, body=b"{}")
    check(status == 200 and os.path.exists(scene), "Save writes the scene")
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=10)
    check(proc.returncode == 0, "a saved session ends at the first Ctrl-C")
    proc, port, token = start(binary, scene)
    status, body = ask(port, "POST", "/api/quit", headers={"X-Mhost-Token": token}, body=b"{}")
    check(status == 200, f"Quit ends a session without edits ({status} {body!r})")
    proc.communicate(timeout=10)
    check(proc.returncode == 0, f"and mhost exits 0 ({proc.returncode})")
    with open(scene) as f:
        check('"name": "b"' in f.read(), "the scene opened again is the saved one")

    # On a port another program holds, the session says so, exits 2 and
    # leaves no journal behind.
    journal = os.path.join(work, ".taken.json.mhost-journal")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        held = taken.getsockname()[1]
        run = subprocess.run([binary, "edit", os.path.join(work, "taken.json"), "--port",
                              str(held)], capture_output=True, text=True, timeout=30)
    check(run.returncode == 2 and f"cannot listen on 127.0.0.1:{held}" in run.stderr,
          f"a port in use is named, exit 2 ({run.returncode} {run.stderr!r})")
    check(not os.path.exists(journal), "a session that never served leaves no journal")

    if failures:
        print(f"{len(failures)} failures")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
