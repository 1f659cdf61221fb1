#!/usr/bin/env python3
# The soak: ORV_SOAK_RUNS (default 10; ./run soak: 100) update runs in a row of a signed
# three-package site, through the fault server's relay, which breaks the
# package answers of each run its own way, drawn at random: it drops the
# connection mid-body or resets it, serves a short body, inverts a byte,
# stalls, or leaves them alone, on every answer or only the first. One run in
# five is also ended at a random disk step, and the next run recovers. The
# site publishes a new version every 10 runs. After every run the
# installation keeps the crash-safety sweep's invariants and the user's own
# files, and a run that was not ended ends in 0 (all installed, the state
# says so) or 20 (some package stays pending). Ends with
# RESULT soak runs=<n> completed=<runs ending in 0> broken_installs=<n>
#   lost_user_files=<n> bytes_ratio=<package bytes nginx sent / size of every version's packages>
import os
import random
import re
import shutil
import sys
from pathlib import Path

import faults
import orvtest

SIGNED = Path(os.environ["ORV_TEST_EXE_SIGNED"])
RUNS = int(os.environ.get("ORV_SOAK_RUNS", "10"))
SEED = int(os.environ.get("ORV_SOAK_SEED", "25"))
BLOCK = 10
BREAKS = ["", "-reset", "-short", "-flip", "-stall"]
# Wine's URLMon never returns from a connection reset mid-body (a Windows
# checklist step covers it), so a reset breaks only the first answer: the
# first backend's, and the second continues its part.
ONCE_ONLY = {"-reset"}
USER = {"orvMain.accdb": b"the customer's database", "Reports/Custom.rpt": b"a report of the user's own",
        "Letters/offer.txt": b"a letter"}


def version(name: str, number: int) -> tuple:
    """A package's version: a large file that does not compress and a small one."""
    rng = random.Random("%s %d" % (name, number))
    stem = name[:-len(".zip")]
    return "%d.0" % number, {stem + ".dll": rng.randbytes(rng.randrange(60000, 200000)),
                             "Data/%s.dat" % stem: rng.randbytes(rng.randrange(100, 5000))}


def main():
    endpoints = orvtest.read_endpoints()
    site = Path(endpoints["docroot_unix"]) / "soak"
    work = Path(os.environ.get("TMPDIR", "/tmp")) / "orv-soak"
    for folder in (site, work):
        shutil.rmtree(folder, ignore_errors=True)
    names = ("OrvCore.zip", "OrvForms.zip", "OrvReports.zip")
    scenario = faults.Scenario(work, {n: [version(n, 1)] for n in names}, USER, exe=SIGNED)
    install, journal = scenario.fresh("install"), work / "journal.txt"
    rng = random.Random(SEED)
    log = Path(endpoints["http_log"])
    logged, needed, completed, broken, lost, steps = log.stat().st_size, 0, 0, 0, set(), {}
    try:
        for run in range(RUNS):
            if run % BLOCK == 0:
                for name in names:
                    scenario.packages[name].append(version(name, run // BLOCK + 2))
                orvtest.publish_signed(site, {n: v[-1] for n, v in scenario.packages.items()})
                needed += sum((site / name).stat().st_size for name in names)
            newest = {n: v[-1][0] for n, v in scenario.packages.items()}
            due = sum(orvtest.read_state(install / "updater-w7.xml").get(n) != v for n, v in newest.items())
            offset, cut, once = rng.randrange(4096, 60000), rng.choice(BREAKS), rng.choice(["", "-once"])
            plan = "%d%s%s-r%d" % (offset, cut, "-once" if cut in ONCE_ONLY else once, run)
            at = rng.randint(1, max(steps.get(due, 100), 1)) if run % 5 == 0 else 0
            code = scenario.run(install, journal, at, ["/silent", "/autoinstall", "/nolaunch",
                                                       "/server:%scut/%s/soak/" % (endpoints["fault"], plan)])
            ended = faults.killed(journal)
            problems = faults.broken_invariants(scenario, install)
            if not ended:
                steps[due] = len(faults.read_journal(journal))
                state = orvtest.read_state(install / "updater-w7.xml")
                problems += ["exit code %d" % code] * (code not in (0, 20))
                problems += ["ended in 0 with %s" % state] * (code == 0 and state != newest)
                completed += code == 0
            lost |= {p for p, data in USER.items() if not (install / p).is_file() or (install / p).read_bytes() != data}
            broken += bool(problems)
            print("run %d: %s%s, exit %d%s" % (run + 1, plan, " ended at step %d" % at if ended else "", code,
                                              "".join("\n  BROKEN: " + p for p in problems)), flush=True)
    finally:
        shutil.rmtree(site, ignore_errors=True)
    with open(log, encoding="utf-8", errors="replace") as f:
        f.seek(logged)
        sent = sum(int(n) for n in re.findall(r'"GET /soak/\w+\.zip HTTP/1\.1" 20[06] (\d+)', f.read()))
    print("RESULT soak runs=%d completed=%d broken_installs=%d lost_user_files=%d bytes_ratio=%.3f" % (
        RUNS, completed, broken, len(lost), sent / max(needed, 1)))
    return 1 if broken or lost else 0


if __name__ == "__main__":
    sys.exit(main())
