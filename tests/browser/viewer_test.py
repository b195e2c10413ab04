"""The --html viewer in a real browser: Debian's chromium, headless.

  viewer_test.py MHOST SCENE WORKDIR

For several addresses (#driver=X, #time=X) it reads the page's "matrix"
element back through --dump-dom and compares it with what `mhost eval
--format json` prints for the nearest sample; then it takes a screenshot and
checks that the 3D view drew a scene, not a blank canvas. Skipped where no
chromium can be found (a failure in CI: see tests/support/skip.sh)."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

SKIP = 77


def skip(reason):
    """The status of a test that cannot run here: skipped (77) on a developer's
    machine, a failure in CI (CI=true), as tests/support/skip.sh says."""
    if os.environ.get("CI") == "true":
        print(f"FAILED: this test could not run: {reason} (CI=true: CI must run every test)")
        return 1
    print(f"SKIPPED: {reason}")
    return SKIP


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def chromium_args(browser, profile):
    # SwiftShader draws WebGL on the CPU: no GPU, no display needed.
    return [browser, "--headless", "--no-sandbox", "--disable-gpu", "--use-angle=swiftshader",
            "--enable-unsafe-swiftshader", "--disable-dev-shm-usage", "--hide-scrollbars",
            "--window-size=1280,900",
            f"--user-data-dir={profile}", "--virtual-time-budget=3000"]


def run(args, timeout=120):
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def mhost(binary, *args):
    status, out, err = run([binary, *args])
    if status != 0:
        sys.exit(f"mhost {' '.join(args)} failed with {status}:\n{err}")
    return out


def local_lines(report_text):
    """The text of each row's "local" array, as mhost printed it."""
    return re.findall(r'"local": (\[[^\]]*\])', report_text)


def main():
    binary, scene, work = sys.argv[1:4]
    browser = find_chromium()
    if browser is None:
        return skip("no chromium on this machine (scripts/test.sh installs Debian's chromium "
                    "where it can: apt-get install chromium)")
    os.makedirs(work, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="chromium-profile-", dir=work)
    failures = []

    cases = [
        # (sweep options, address, the value the nearest sample is found for)
        (["--driver", "0:1:8"], "#driver=0.25", ("driver", 0.25)),
        (["--driver", "0:1:8"], "#driver=0.3", ("driver", 0.3)),  # nearest: 0.25
        (["--driver", "0:1:8"], "", ("driver", 0.0)),  # no address: the first sample
        (["--driver", "0:1:8"], "#driver=%E0%A4%A", ("driver", 0.0)),  # malformed: the first
        (["--time", "0:2:8"], "#time=1.5", ("time", 1.5)),
        (["--time", "0:2:8"], "#time=9", ("time", 9.0)),  # beyond the end: the last
    ]
    for number, (sweep, address, (field, wanted)) in enumerate(cases):
        page = os.path.join(work, f"viewer{number}.html")
        report = mhost(binary, "eval", scene, "arm", *sweep, "--html", page, "--format", "json")
        rows = json.loads(report)["rows"]
        nearest = min(range(len(rows)), key=lambda i: (abs(rows[i][field] - wanted), i))
        expected = local_lines(report)[nearest]
        status, dom, err = run(chromium_args(browser, profile) +
                               ["--dump-dom", f"file://{page}{address}"])
        found = re.search(r'<code id="matrix">([^<]*)</code>', dom)
        if status != 0 or not found:
            failures.append(f"{address or 'no address'}: no matrix in the page (exit {status})\n"
                            f"{err[-2000:]}")
            continue
        if found.group(1) != expected:
            failures.append(f"{' '.join(sweep)} {address}: the page shows\n  {found.group(1)}\n"
                            f"mhost printed\n  {expected}")
        if 'id="nogl" style="display: block' in dom:
            failures.append(f"{address}: the page says WebGL is unavailable")
        if "<canvas" not in dom:
            failures.append(f"{address}: no canvas in the page")

    # The screenshot: the 3D view (the left part of the page, below the
    # header) must hold the drawn markers, not only the white background.
    shot = os.path.join(work, "viewer.png")
    page = os.path.join(work, "viewer0.html")
    status, _, err = run(chromium_args(browser, profile) +
                         [f"--screenshot={shot}", f"file://{page}#driver=0.5"])
    if status != 0 or not os.path.exists(shot):
        failures.append(f"no screenshot (exit {status})\n{err[-2000:]}")
    else:
        image = Image.open(shot).convert("RGB")
        width, height = image.size
        pixels = image.load()
        coloured, grey = 0, 0
        for y in range(int(height * 0.12), int(height * 0.68)):
            for x in range(int(width * 0.02), int(width * 0.55)):
                r, g, b = pixels[x, y]
                # Green: the swept node's box and the axes' y lines (the
                # page's only red text, the no-WebGL notice, is not green).
                if g - r > 40 and g - b > 20:
                    coloured += 1
                elif max(r, g, b) < 235:
                    grey += 1
        print(f"screenshot {width}x{height}: {coloured} green and {grey} grey pixels in the view")
        if coloured < 300:
            failures.append(f"the 3D view looks blank: {coloured} green pixels (markers)")
        if grey < 2000:
            failures.append(f"the 3D view has no grid: {grey} grey pixels")

    shutil.rmtree(profile, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure)
    if failures:
        return 1
    print("viewer test: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
