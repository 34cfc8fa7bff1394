#!/usr/bin/python3
"""How heavy a report's index.html is in a browser: its bytes, and the time
headless Chromium takes to load and render it, the page's own script
included; then how long its sort and filter take on a click or a keystroke.

    bench/index_render.sh REPORT_DIR [--runs N] [--screenshot FILE]

Each run starts a fresh headless Chromium (its own scratch profile) and
drives it over the DevTools protocol on a pipe (no network port). The times
are the page's own clock (performance.now(), zero at the start of the
navigation), so the browser's start-up is not counted:

  loaded     the load event has ended: the file read and parsed, styles and
             layout done, the inline script run
  rendered   a frame has been produced after the load event (a
             requestAnimationFrame callback, then a task after it): what a
             reader waits for before the page is on the screen
  open       a click on the first species group's box (its rows shown when
             it was closed), up to the next frame
  sort       a click on a column heading (Worst R², then Scenario), up to
             the next frame: every group sorted, the open one redrawn
  filter     typing "no56" into the Tag column's filter, up to the next
             frame (a quarter of bench/study.sh's configurations kept), then
             "0.000" into the Scenario column's as well (a few hundred kept)

Medians over the runs (default 5), with the lowest and highest. Not a test:
run it on an otherwise idle machine. The window is 1400 x 1000.
"""
import argparse
import base64
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--no-default-browser-check", "--disable-breakpad",
         "--host-resolver-rules=MAP * ~NOTFOUND", "--window-size=1400,1000",
         "--remote-debugging-pipe"]

# Runs before the page's own scripts: notes when a frame follows the load event.
AFTER_LOAD = """
window.addEventListener("load", function () {
  requestAnimationFrame(function () { setTimeout(function () { window.__rendered = performance.now(); }); });
});
"""

# An action on the page, timed up to the next frame; resolves to milliseconds.
TIMED = """
new Promise(function (done) {
  var start = performance.now();
  (function () { %s })();
  requestAnimationFrame(function () { setTimeout(function () { done(performance.now() - start); }); });
})
"""
ACTIONS = {
    "open a group": "var box = document.querySelector('#configurations input.expand');"
                    " if (box && !box.checked) box.click();",
    "sort by Worst R²": "document.querySelector('#configurations th[data-type=\"number\"]').click();",
    "sort by Scenario": "document.querySelectorAll('#configurations th[data-column]')[1].click();",
    "filter Tag no56": "var f = document.querySelectorAll('#configurations tr.filters input')[2];"
                       " f.value = 'no56'; f.dispatchEvent(new Event('input'));",
    "and Scenario 0.000": "var f = document.querySelectorAll('#configurations tr.filters input')[1];"
                          " f.value = '0.000'; f.dispatchEvent(new Event('input'));",
}


class Chromium:
    """One headless Chromium on a DevTools pipe: commands go to its fd 3,
    replies and events come from its fd 4, each a JSON text ended by NUL."""

    def __init__(self, executable, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def wire():  # in the child: the pipe's ends become its fds 3 and 4
            commands, replies = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(commands, 3)
            os.dup2(replies, 4)

        self.process = subprocess.Popen(
            [executable, *FLAGS, f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(3, 4), preexec_fn=wire, start_new_session=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer, self.next_id, self.events = b"", 0, []

    def send(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.receive()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def receive(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                raise RuntimeError("chromium closed its pipe")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def evaluate(self, session, expression):
        result = self.send("Runtime.evaluate", session, expression=expression, awaitPromise=True,
                           returnByValue=True, timeout=120_000)
        if "exceptionDetails" in result:
            raise RuntimeError(f"the page threw: {result['exceptionDetails']}")
        return result["result"].get("value")

    def stop(self):
        """Ends the browser and every process of its group (started here)."""
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)


def one_run(executable, url, screenshot):
    """The figures of one fresh browser opening `url`, in milliseconds."""
    with tempfile.TemporaryDirectory(prefix="vbsfit-render-") as profile:
        browser = Chromium(executable, profile)
        try:
            target = browser.send("Target.createTarget", url="about:blank")["targetId"]
            session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            browser.send("Page.enable", session)
            browser.send("Page.addScriptToEvaluateOnNewDocument", session, source=AFTER_LOAD)
            browser.send("Page.navigate", session, url=url)
            figures = browser.evaluate(session, """
new Promise(function (done) {
  (function wait() {
    if (window.__rendered === undefined) return setTimeout(wait, 5);
    var n = performance.getEntriesByType("navigation")[0];
    done({loaded: n.loadEventEnd, rendered: window.__rendered});
  })();
})""")
            if screenshot:
                shot = browser.send("Page.captureScreenshot", session, format="png")
                Path(screenshot).write_bytes(base64.b64decode(shot["data"]))
            for name, action in ACTIONS.items():
                figures[name] = browser.evaluate(session, TIMED % action)
            return figures
        finally:
            browser.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("report", help="a report directory holding index.html")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--screenshot", help="also save the first screen as this PNG")
    parser.add_argument("--chromium", default=os.environ.get("VBSFIT_CHROMIUM", "/usr/bin/chromium"))
    args = parser.parse_args()
    index = Path(args.report) / "index.html"
    if not index.is_file():
        sys.exit(f"no {index}")
    if not shutil.which(args.chromium):
        sys.exit(f"no {args.chromium}: install it with tools/deps.sh (as root)")
    runs = [one_run(args.chromium, index.resolve().as_uri(), args.screenshot if n == 0 else None)
            for n in range(args.runs)]
    print(f"index.html          {index.stat().st_size} bytes")
    for name in runs[0]:
        values = [r[name] for r in runs]
        print(f"{name:20s}{statistics.median(values) / 1000:.3f} s "
              f"(median of {len(values)}, {min(values) / 1000:.3f} to {max(values) / 1000:.3f})")


if __name__ == "__main__":
    main()
