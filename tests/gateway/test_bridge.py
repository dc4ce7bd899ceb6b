"""Past one machine: the site-to-central topology of the README.

Two gateways, each with a simulator of its own (addressed directly, no
broadcast), publish into a site broker; the site broker bridges kelvo/# both
ways to a central broker. Values must arrive at the central broker, and a
command published there must reach the unit. Runs in a private network
namespace (scripts/netns-run) like the other gateway tests; everything started
here is stopped by its pid.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from typing import List

import harness
from harness import Control, Watcher, publish, stop

SITE_PORT = harness.BROKER_PORT + 11
CENTRAL_PORT = harness.BROKER_PORT + 12
# Gateway, its units (MODEL:ID@ADDRESS); unit IDs differ so that names are unique on the broker.
SEGMENTS = {"site-a": ["KV-108:21@127.0.5.2"], "site-b": ["KV-110:22@127.0.5.3",
                                                          "KV-109:22@127.0.5.4"]}


class BridgeTest(unittest.TestCase):
    procs: List[subprocess.Popen] = []
    controls: List[Control] = []

    @classmethod
    def setUpClass(cls) -> None:
        harness.require_private_network()
        cls.work = tempfile.mkdtemp(prefix="kelvo-gw-bridge.")
        try:
            cls.procs.append(harness.start_broker(cls.work, False, CENTRAL_PORT))
            cls.procs.append(harness.start_broker(cls.work, False, SITE_PORT,
                                                  bridge_to=CENTRAL_PORT))
            cls.central = Watcher(port=CENTRAL_PORT)
            # The bridge is up once a message published at the site arrives centrally.
            deadline = time.monotonic() + harness.WAIT_S
            while "kelvo/probe" not in cls.central.latest and time.monotonic() < deadline:
                publish("kelvo/probe", "1", port=SITE_PORT)
                cls.central.wait(lambda: "kelvo/probe" in cls.central.latest, 0.2)
            for name, units in SEGMENTS.items():
                control = os.path.join(cls.work, f"control-{name}")
                cls.procs.append(harness.start_sim(
                    *[a for u in units for a in ("--unit", u)], "--control", control,
                    "--no-discovery"))
                cls.controls.append(Control(control))
                config = os.path.join(cls.work, f"{name}.toml")
                addresses = ", ".join(f'"{u.split("@")[1]}"' for u in units)
                with open(config, "w", encoding="ascii") as f:
                    f.write(f"[units]\naddresses = [{addresses}]\nrescan_s = 0\n")
                cls.procs.append(harness.start_gateway(
                    "--id", name, "--period", "100", "--config", config,
                    broker=f"127.0.0.1:{SITE_PORT}"))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls) -> None:
        for proc in reversed(cls.procs):
            stop(proc, signal.SIGKILL)
        if hasattr(cls, "central"):
            cls.central.close()
        for control in cls.controls:
            control.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_values_up_commands_down(self) -> None:
        """Both gateways' states and values reach the central broker; commands published there
        reach the units of either gateway."""
        w = self.central
        self.assertIn("kelvo/probe", w.latest, "the bridge did not come up")
        online = ["kelvo/gateway/site-a/state", "kelvo/gateway/site-b/state",
                  "kelvo/KV-108-21/state", "kelvo/KV-110-22/state", "kelvo/KV-109-22/state"]
        self.assertTrue(w.wait(lambda: all(w.latest.get(t) == "online" for t in online)),
                        {t: w.latest.get(t) for t in online})
        self.assertEqual(json.loads(w.latest["kelvo/KV-109-22/info"])["gateway"], "site-b")

        site_a, site_b = self.controls
        site_b("set KV-109:22 ai 3 1234")
        self.assertTrue(w.wait_payload("kelvo/KV-109-22/ai/3", "1234"))

        publish("kelvo/KV-108-21/do/0/set", "90", port=CENTRAL_PORT)
        publish("kelvo/KV-110-22/ao/1/set", "777", port=CENTRAL_PORT)
        self.assertTrue(w.wait_payload("kelvo/KV-108-21/do/0", "90"))
        self.assertTrue(w.wait_payload("kelvo/KV-110-22/ao/1", "777"))
        self.assertEqual(json.loads(site_a("state KV-108:21"))["ports"][0], 90)
        self.assertEqual(json.loads(site_b("state KV-110:22"))["outputs"][1], 777)
        # Neither gateway refused the other's command.
        self.assertFalse([t for t in w.latest if t.endswith("/error")])


if __name__ == "__main__":
    unittest.main()
