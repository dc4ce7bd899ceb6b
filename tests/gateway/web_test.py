"""kelvo-gateway's web face: the HTTP API, the event stream, the metrics and the
dashboard in a real browser (headless chromium through chromedriver).

Starts mosquitto, kelvo-sim with one unit of each model and a gateway with
--http inside the private network namespace (scripts/netns-run); one chromium
serves every browser test. Runs with Debian's python3, which has selenium and
prometheus_client. The tests run in the order of their names.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request
from typing import Any, Dict, Optional, Tuple

from prometheus_client.parser import text_string_to_metric_families
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

import harness
from harness import Control, stop

PORT = 18080
BASE = f"http://127.0.0.1:{PORT}"
TOKEN = "s3cret-token"
WAIT_S = harness.WAIT_S
# A change should reach the page within a second. The bench measures how
# soon it does; here the wait is longer, for a loaded test machine, and the
# time it took is printed.
SHOWN_WITHIN_S = 1.0

CONFIG = f"""
[units]
rescan_s = 0
[http]
listen = "127.0.0.1:{PORT}"
token = "{TOKEN}"
[unit."KV-108-1".do.0]
bits = ["pump", "fan", "valve"]
[unit."KV-110-1".ao.0]
scale = [0, 4095, 0, 10]
unit = "V"
[unit."KV-109-1".ai.0]
unit = "degC"
"""


def call(method: str, path: str, body: Any = None, token: Optional[str] = TOKEN,
         headers: Optional[Dict[str, str]] = None, raw: Optional[bytes] = None,
         base: str = BASE, context: Optional[ssl.SSLContext] = None) -> Tuple[int, Any]:
    """One request; the status and the body (JSON decoded when it is JSON)."""
    data = raw if raw is not None else None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(base + path, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    if token:
        request.add_header("Authorization", "Bearer " + token)
    for k, v in (headers or {}).items():
        request.add_header(k, v)
    try:
        with urllib.request.urlopen(request, timeout=WAIT_S, context=context) as r:
            status, text, kind = r.status, r.read(), r.headers.get("Content-Type", "")
    except urllib.error.HTTPError as e:
        status, text, kind = e.code, e.read(), e.headers.get("Content-Type", "")
    return status, json.loads(text) if kind.startswith("application/json") else text.decode()


class Events:
    """An /api/events stream read on a plain socket: (event, data) pairs."""

    def __init__(self, query: str = "") -> None:
        self.sock = socket.create_connection(("127.0.0.1", PORT), timeout=WAIT_S)
        self.sock.sendall(f"GET /api/events{query} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Accept-Encoding: gzip\r\n\r\n".encode())
        self.buffer = b""
        head = self._until(b"\r\n\r\n")
        assert b" 200 " in head.split(b"\r\n")[0], head
        assert b"content-encoding" not in head.lower(), head

    def _until(self, mark: bytes) -> bytes:
        while mark not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("the stream ended")
            self.buffer += chunk
        head, _, self.buffer = self.buffer.partition(mark)
        return head

    def wait_for(self, check, timeout: float) -> Optional[Dict[str, Any]]:
        """The first event whose data passes `check`, or None after `timeout`."""
        deadline = time.monotonic() + timeout
        text = b""
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                text = self._until(b"\n\n")
            except socket.timeout:
                return None
            # Chunked framing: only the lines that are fields count.
            fields = dict(line.split(": ", 1) for line in text.decode().splitlines()
                          if line.startswith(("event: ", "data: ")))
            if "data" in fields:
                data = json.loads(fields["data"])
                if check(fields.get("event"), data):
                    return data
        return None

    def close(self) -> None:
        self.sock.close()


class WebTest(unittest.TestCase):
    work: str
    procs: list
    browser: webdriver.Chrome

    @classmethod
    def setUpClass(cls) -> None:
        harness.require_private_network()
        cls.work = tempfile.mkdtemp(prefix="kelvo-web-test.")
        os.environ["KELVO_DEVICE_LIST_DIR"] = cls.work
        cls.procs = [harness.start_broker(cls.work, persistent=False)]
        control = os.path.join(cls.work, "control")
        cls.procs.append(harness.start_sim("--all-models", "--ini",
                                           os.path.join(cls.work, "Kelvo.ini"),
                                           "--control", control))
        cls.control = Control(control)
        config = os.path.join(cls.work, "web.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write(CONFIG)
        cls.gateway = harness.start_gateway("--id", "web", "--period", "100", "--config", config)
        cls.procs.append(cls.gateway)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1280,2000", f"--user-data-dir={cls.work}/chromium"):
            options.add_argument(arg)
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        # A loaded machine starts chromium's first page slowly.
        cls.browser.set_page_load_timeout(3 * WAIT_S)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.browser.quit()
        for proc in reversed(cls.procs):
            stop(proc, signal.SIGKILL)
        cls.control.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def wait(self, check, timeout: float = WAIT_S, message: str = "") -> None:
        deadline = time.monotonic() + timeout
        while not check():
            if time.monotonic() > deadline:
                self.fail(message or "timed out")
            time.sleep(0.02)

    def port(self, unit: str, port: int) -> int:
        model, unit_id = unit.rsplit("-", 1)
        return json.loads(self.control(f"state {model}:{unit_id}"))["ports"][port]

    # -- API ----------------------------------------------------------------

    def test_1_api_reads_and_writes(self) -> None:
        """Units, points, writes through the model, and every error status."""
        self.wait(lambda: all(u["online"] for u in call("GET", "/api/units")[1]))
        status, units = call("GET", "/api/units")
        self.assertEqual(status, 200)
        self.assertEqual(len(units), 20)
        self.assertEqual({u["name"] for u in units}, {f"KV-{m}-1" for m in range(101, 121)})
        self.assertTrue(all(u["model"] and u["polls"] > 0 for u in units))
        self.assertEqual(call("GET", "/healthz"), (200, {"status": "ok", "units": 20,
                                                         "online": 20}))
        status, unit = call("GET", "/api/units/KV-108-1")
        do0 = next(p for p in unit["points"] if p["point"] == "do/0")
        self.assertEqual(do0["bitNames"], ["pump", "fan", "valve"])
        status, doc = call("GET", "/api/openapi.json")
        self.assertEqual(doc["openapi"][:2], "3.")
        for path in ("/api/units", "/api/units/{unit}", "/api/units/{unit}/{kind}/{n}",
                     "/api/units/{unit}/sampling", "/healthz", "/api/events", "/metrics"):
            self.assertIn(path, doc["paths"])

        # Writes answer after the unit confirmed them.
        self.assertEqual(call("PUT", "/api/units/KV-108-1/do/0", {"value": 165})[0], 200)
        self.assertEqual(self.port("KV-108-1", 0), 165)
        status, answer = call("PUT", "/api/units/KV-108-1/do/0", {"value": 15, "mask": 15})
        self.assertEqual((status, answer["raw"]), (200, 0xAF))
        self.assertEqual(call("PUT", "/api/units/KV-108-1/do/0/6", {"value": False})[0], 200)
        self.assertEqual(self.port("KV-108-1", 0), 0xAF & ~0x40)
        # An engineering value on a scaled output: 5 V of 0..10 V is half the codes.
        status, answer = call("PUT", "/api/units/KV-110-1/ao/0", {"value": 5})
        self.assertEqual((status, answer["raw"]), (200, 2048))

        refused = [
            # (method, path, body, token, headers, raw body) -> status, words of the reason
            ("PUT", "/api/units/KV-108-1/do/0", {"value": 1}, None, {}, None, 401, "Bearer"),
            ("PUT", "/api/units/KV-108-1/do/0", {"value": 1}, "wrong", {}, None, 403, "token"),
            ("POST", "/api/units/KV-109-1/sampling/start", {}, None, {}, None, 401, "Bearer"),
            ("PUT", "/api/units/KV-999-1/do/0", {"value": 1}, TOKEN, {}, None, 404, "no unit"),
            ("PUT", "/api/units/KV-108-1/xx/0", {"value": 1}, TOKEN, {}, None, 404, "kind"),
            ("PUT", "/api/units/KV-108-1/do/9", {"value": 1}, TOKEN, {}, None, 404, "has no"),
            ("PUT", "/api/units/KV-101-1/di/0", {"value": 1}, TOKEN, {}, None, 400, "input"),
            ("PUT", "/api/units/KV-110-1/ao/1", {"value": 99999}, TOKEN, {}, None, 400,
             "outside"),
            ("PUT", "/api/units/KV-108-1/do/0", {"value": 1.5}, TOKEN, {}, None, 400, "integer"),
            ("PUT", "/api/units/KV-110-1/ao/1", {"value": 2 ** 64 - 1}, TOKEN, {}, None, 400,
             "range"),
            ("PUT", "/api/units/KV-108-1/do/0/3", {"value": 2}, TOKEN, {}, None, 400, "bit"),
            ("PUT", "/api/units/KV-108-1/do/0", {"value": 1, "mask": 256}, TOKEN, {}, None, 400,
             "mask"),
            ("PUT", "/api/units/KV-108-1/do/0", {"valu": 1}, TOKEN, {}, None, 400, "unknown key"),
            ("PUT", "/api/units/KV-108-1/do/0", None, TOKEN, {}, b"{not json", 400, "JSON"),
            ("PUT", "/api/units/KV-108-1/do/0", None, TOKEN, {"Content-Type": "text/plain"},
             b'{"value": 1}', 415, "JSON"),
            ("PUT", "/api/units/KV-108-1/do/0", None, TOKEN, {}, b" " * 20000, 413, "large"),
            ("PUT", "/api/units/KV-109-1/sampling", None, TOKEN, {"Content-Type": "text/plain"},
             b'{"cycle": 1}', 415, "JSON"),
            ("PUT", "/api/units/KV-109-1/sampling", {"channels": [16]}, TOKEN, {}, None, 400,
             "no channel"),
            ("PUT", "/api/units/KV-108-1/do/0", {"value": 1}, TOKEN,
             {"Origin": "http://evil.example"}, None, 403, "other sites"),
            ("GET", "/api/units", None, None, {"Host": "evil.example:18080"}, None, 403,
             "localhost"),
            ("GET", "/api/units/KV-999-1", None, None, {}, None, 404, "no unit"),
            ("GET", "/assets/../../../etc/passwd", None, None, {}, None, 404, "not found"),
            ("GET", "/assets/%2e%2e%2f%2e%2e%2fetc%2fpasswd", None, None, {}, None, 404,
             "not found"),
            ("GET", "/etc/passwd", None, None, {}, None, 404, "not found"),
            ("GET", "/api/units/KV-109-1/sampling/data?bytes=-1", None, None, {}, None, 400,
             "bytes"),
        ]
        for method, path, body, token, headers, raw, code, words in refused:
            with self.subTest(method=method, path=path, body=body):
                status, answer = call(method, path, body, token, headers, raw)
                self.assertEqual(status, code, answer)
                self.assertIn(words, answer["error"])
        # The exchange fails once the request went out (it may have been done).
        self.control("fault add KV-105:1=drop,cmd=0x21,times=1")
        status, answer = call("PUT", "/api/units/KV-105-1/do/0", {"value": 7})
        self.assertEqual((status, answer.get("outcome")), (502, "unknown"), answer)
        # A header line beyond the server's limit is refused whole.
        status, _ = call("GET", "/healthz", headers={"X-Big": "x" * 10000})
        self.assertEqual(status, 400)

        # An offline unit: 409, and nothing waits for it.
        self.control("down KV-114:1")
        try:
            self.wait(lambda: not call("GET", "/api/units/KV-114-1")[1]["online"])
            status, answer = call("PUT", "/api/units/KV-114-1/do/0", {"value": 1})
            self.assertEqual((status, answer["error"]), (409, "unit offline"))
            self.assertEqual(call("GET", "/api/units/KV-114-1/sampling")[0], 409)
        finally:
            self.control("up KV-114:1")

    def test_2_metrics_parse(self) -> None:
        """/metrics in the Prometheus text format: polls, histogram, commands, broker, clients."""
        status, text = call("GET", "/metrics")
        self.assertEqual(status, 200)
        families = {f.name: f for f in text_string_to_metric_families(text)}
        polls = {s.labels["unit"]: s.value for s in families["kelvo_gateway_polls"].samples}
        self.assertEqual(len(polls), 20)
        self.assertTrue(all(v > 0 for v in polls.values()))
        self.assertIn("kelvo_gateway_poll_failures", families)
        histogram = [s for s in families["kelvo_gateway_poll_seconds"].samples
                     if s.labels["unit"] == "KV-101-1"]
        buckets = [s.value for s in histogram if s.name.endswith("_bucket")]
        count = next(s.value for s in histogram if s.name.endswith("_count"))
        self.assertEqual(buckets, sorted(buckets))
        self.assertEqual(buckets[-1], count)
        commands = {s.labels["outcome"]: s.value
                    for s in families["kelvo_gateway_commands"].samples}
        self.assertGreaterEqual(commands["confirmed"], 4)
        self.assertGreaterEqual(commands["refused"], 2)
        self.assertEqual(families["kelvo_gateway_broker_connected"].samples[0].value, 1)
        faces = {s.labels["face"] for s in families["kelvo_gateway_face_clients"].samples}
        self.assertIn("http_events", faces)
        self.assertEqual(families["kelvo_gateway_store_dropped"].samples[0].value, 0)
        self.assertTrue(families["kelvo_gateway_build_info"].samples[0].labels["version"])

    def test_3_other_listeners(self) -> None:
        """TLS, beyond loopback without a token (no writes), and listen addresses refused."""
        cert, key = (os.path.join(self.work, n) for n in ("cert.pem", "key.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=WAIT_S)
        config = os.path.join(self.work, "tls.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write(f'[units]\nrescan_s = 0\n[http]\ncert_file = "{cert}"\nkey_file = "{key}"\n')
        second = harness.start_gateway("--id", "tls", "--address", "127.0.0.2", "--config",
                                       config, "--http", "0.0.0.0:18443")
        try:
            context = ssl.create_default_context(cafile=cert)
            base = "https://localhost:18443"
            status, units = call("GET", "/api/units", base=base, context=context)
            self.assertEqual((status, [u["name"] for u in units]), (200, ["KV-101-1"]))
            status, answer = call("PUT", "/api/units/KV-101-1/do/0", {"value": 1}, None,
                                  base=base, context=context)
            self.assertEqual(status, 403)
            self.assertIn("beyond loopback", answer["error"])
        finally:
            stop(second)
        for listen in ("127.0.0.1:0", "127.0.0.1:99999", f"127.0.0.1:{PORT}", "host:port"):
            with self.subTest(listen=listen):
                run = subprocess.run([os.environ["KELVO_GATEWAY"], "--address", "127.0.0.2",
                                      "--http", listen], capture_output=True, text=True,
                                     timeout=WAIT_S)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn("http", run.stderr)

    # -- event stream --------------------------------------------------------

    def test_4_events(self) -> None:
        """Every change reaches a client at once, while a stalled client holds on."""
        stalled = socket.create_connection(("127.0.0.1", PORT), timeout=WAIT_S)
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        events = Events("?unit=KV-109-1")
        try:
            # The state of every unit and the unit's points, first.
            seen = set()
            wanted = {("state", "KV-120-1"), ("point", "ai/7")}
            self.assertIsNotNone(events.wait_for(
                lambda e, d: seen.add((e, d.get("point", d["unit"]))) or wanted <= seen, WAIT_S))
            self.control("wave KV-109:1 ai 1 sine 200")  # keeps the stalled stream full
            for value in (111, -222, 333):
                self.control(f"set KV-109:1 ai 0 {value}")
                got = events.wait_for(lambda e, d: d.get("point") == "ai/0" and
                                      d["raw"] == value, WAIT_S)
                self.assertIsNotNone(got, value)
                self.assertEqual(got["unit"], "KV-109-1")
            self.assertEqual(call("GET", "/healthz")[1]["online"], 20)
            # Streams are limited (each holds a server thread): one more is refused.
            more: list = []
            try:
                for _ in range(40):
                    sock = socket.create_connection(("127.0.0.1", PORT), timeout=WAIT_S)
                    more.append(sock)
                    sock.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                    status_line = sock.recv(4096).split(b"\r\n")[0]
                    if b" 200 " not in status_line:
                        break
                self.assertIn(b" 503 ", status_line)
                self.assertLessEqual(len(more), 32)
            finally:
                for sock in more:
                    sock.close()
        finally:
            self.control("set KV-109:1 ai 1 0")
            events.close()
            stalled.close()

    # -- the page --------------------------------------------------------------

    def open(self, hash_: str = "", token: bool = True) -> None:
        self.browser.get(f"{BASE}/{hash_}")
        WebDriverWait(self.browser, WAIT_S).until(
            lambda b: b.execute_script("return document.body.dataset.ready") == "1")
        field = self.element("#token")
        if token and field.get_attribute("value") != TOKEN:
            field.clear()
            field.send_keys(TOKEN, Keys.TAB)

    def element(self, selector: str):
        return WebDriverWait(self.browser, WAIT_S).until(
            lambda b: b.find_element(By.CSS_SELECTOR, selector))

    def test_5_dashboard(self) -> None:
        """Overview, a live value, a plot, a click that drives an output, a refused write."""
        self.open(token=False)
        rows = self.browser.find_elements(By.CSS_SELECTOR, "#units tbody tr[data-unit]")
        self.assertEqual(len(rows), 20)
        self.assertIn("KV-120", rows[-1].text)

        self.open("#unit/KV-109-1")
        value = self.element('[data-point="KV-109-1/ai/0"]')
        self.assertEqual(self.browser.find_element(By.CSS_SELECTOR, ".channel .eu").text, "degC")
        for raw in (1234, -567):
            began = time.monotonic()
            self.control(f"set KV-109:1 ai 0 {raw}")
            WebDriverWait(self.browser, WAIT_S, poll_frequency=0.02).until(
                lambda b: value.text == f"{raw}.00")
            shown = time.monotonic() - began
            print(f"control-channel change shown on the page after {shown * 1000:.0f} ms"
                  f"{'' if shown <= SHOWN_WITHIN_S else ' (more than a second)'}")
        # The live plot has points and has drawn them.
        WebDriverWait(self.browser, WAIT_S).until(lambda b: b.execute_script("""
            const c = document.querySelector('canvas[data-plot="KV-109-1/ai/0"]');
            const chart = Chart.getChart(c);
            if (!chart || chart.data.datasets[0].data.length < 2) return false;
            const px = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            for (let i = 3; i < px.length; i += 4) if (px[i]) return true;
            return false;"""))

        self.open("#unit/KV-108-1")
        before = self.port("KV-108-1", 0)
        bit = self.element('[data-command="KV-108-1/do/0/2"]')
        self.assertIn("valve", bit.text)
        bit.click()
        self.wait(lambda: self.port("KV-108-1", 0) == before ^ 0x04)
        WebDriverWait(self.browser, WAIT_S).until(
            lambda b: bit.get_attribute("data-value") == str((before >> 2 & 1) ^ 1))

        self.open("#unit/KV-110-1")
        field = self.element('[data-command="KV-110-1/ao/1"]')
        field.send_keys("99999", Keys.ENTER)
        message = self.element("#message")
        WebDriverWait(self.browser, WAIT_S).until(lambda b: "outside" in message.text)
        self.assertIn("KV-110-1/ao/1", message.text)
        field.clear()
        field.send_keys("100", Keys.ENTER)
        WebDriverWait(self.browser, WAIT_S).until(
            lambda b: b.find_element(By.CSS_SELECTOR, '[data-point="KV-110-1/ao/1"]').text
            == "100.00")
        self.assertEqual(json.loads(self.control("state KV-110:1"))["outputs"][1], 100)

    def test_6_sampling(self) -> None:
        """A capture taken from the page is read back, plotted and offered as CSV."""
        self.control("wave KV-109:1 ai 0 ramp 100 1000")
        self.open("#unit/KV-109-1")
        self.element("#sampling-cycle").clear()
        self.element("#sampling-cycle").send_keys("1")
        channels = self.element("#sampling-channels")
        channels.clear()
        channels.send_keys("0,2")
        self.element("#sampling-start").click()
        self.wait(lambda: call("GET", "/api/units/KV-109-1/sampling")[1].get("running"))
        time.sleep(0.3)
        self.element("#sampling-stop").click()
        self.wait(lambda: not call("GET", "/api/units/KV-109-1/sampling")[1]["running"])
        self.element("#sampling-read").click()
        WebDriverWait(self.browser, WAIT_S).until(lambda b: b.execute_script("""
            const chart = Chart.getChart(document.getElementById('sampling-plot'));
            return chart && chart.data.datasets.length === 2 &&
                   chart.data.datasets[0].data.length > 100;"""))
        href = self.element("#sampling-csv").get_attribute("href")
        status, csv = call("GET", href[len(BASE):])
        lines = csv.splitlines()
        self.assertEqual(lines[0], "sample,channel0,channel2")
        ramp = [int(line.split(",")[1]) for line in lines[1:200]]
        self.assertGreater(len(set(ramp)), 10)  # the ramp moved between samples
        status, capture = call("GET", "/api/units/KV-109-1/sampling/data?bytes=40")
        self.assertEqual((status, len(capture["samples"])), (200, 10))
        # A digital unit: eight bytes a sample, a column per port of its model.
        ports = [p for p in call("GET", "/api/units/KV-101-1")[1]["points"] if p["kind"] == "di"]
        status, capture = call("GET", "/api/units/KV-101-1/sampling/data?bytes=16")
        self.assertEqual((len(capture["columns"]), len(capture["samples"])), (len(ports), 2))

    def test_9_stop_with_open_stream(self) -> None:
        """A stop ends the event streams and the gateway in time."""
        events = Events()
        try:
            started = time.monotonic()
            self.assertEqual(stop(self.gateway), 0)
            self.assertLess(time.monotonic() - started, 5)
        finally:
            events.close()


if __name__ == "__main__":
    unittest.main()
