#!/usr/bin/env python3
"""Crash safety, proven: a real three-package update (database files, a file
that two packages replace, a read-only target, the updater's own executable
in a package) is counted once, step by step, at every call that changes the
disk, across the whole hand-over chain. Then, for each step N, the update is
ended abruptly at N, run again the way a user would run it, and the
installation is checked after the crash and after the recovery run.

Tries steps 1, 1+K, 1+2K, ... with K from ORV_FAULTS_EVERY (default 10; 1:
all). Prints one VIOLATION line per broken invariant and ends with
RESULT faults points=<steps tried> violations=<n>."""
import hashlib
import os
import re
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
import orvtest  # noqa: E402
from orvtest import winpath  # noqa: E402

NEXT_EXE = Path(os.environ.get("ORV_TEST_EXE_NEXT", orvtest.BUILD_DIR / "bin" / "OrvUpdaterW7_27005.exe"))
EXE_NAME = "OrvUpdaterW7.exe"
SIDE_FILE = re.compile(r"\.orv-new-\d+$|\.selfupdate-(new|backup)$|\.part$|\.new$|^\.orvupdaterw7-write-test$")
# What an update leaves only while it is under way.
UNFINISHED = (".orvupdaterw7-selfupdate", ".orvw7-reboot-pending", "pending-updater-w7.xml")

# The installation before the update: {relative path: bytes}.
OLD = {
    "OrvCore.dll": b"core 1.0", "Shared.dll": b"shared 1.0", "Settings.cfg": b"settings 1.0",
    "Data/orvcore.dat": b"data 1.0", "OrvReports.dll": b"reports 1.0", "orvMain.accdb": b"the customer's database",
    "orvArchive.mdb": b"the customer's archive", EXE_NAME: orvtest.EXE.read_bytes(),
}
READ_ONLY = "Settings.cfg"
# The packages in manifest order: name -> (old version, new version, files).
PACKAGES = {
    "OrvCore.zip": ("1.0", "2.0", {"OrvCore.dll": b"core 2.0", "Shared.dll": b"shared from core 2.0",
                                   "Settings.cfg": b"settings 2.0", "Data/orvcore.dat": b"data 2.0"}),
    "OrvReports.zip": ("1.0", "2.0", {"OrvReports.dll": b"reports 2.0", "Shared.dll": b"shared from reports 2.0",
                                      "Reports/Monthly/new.txt": b"a new template"}),
    "OrvUpdater.zip": ("27.0.0.4", "27.0.0.5", {EXE_NAME: NEXT_EXE.read_bytes()}),
}
FINAL = dict(OLD, **{path: data for _, _, files in PACKAGES.values() for path, data in files.items()})


class Scenario:
    def __init__(self, work: Path, site_folder: Path, site_url: str):
        self.work = work
        self.template = work / "template"
        self.args = ["/silent", "/autoinstall", "/server:" + site_url]
        self.selftests = {}
        orvtest.write_manifest(site_folder / "updater.xml", {n: p[1] for n, p in PACKAGES.items()})
        for name, (_, _, files) in PACKAGES.items():
            orvtest.make_zip(site_folder / name, files)
        orvtest.write_files(self.template, OLD)
        orvtest.write_manifest(self.template / "updater-w7.xml", {n: p[0] for n, p in PACKAGES.items()})

    def fresh(self, name) -> Path:
        folder = self.work / name
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(self.template, folder)
        (folder / READ_ONLY).chmod(0o444)
        return folder

    def run(self, install: Path, journal: Path, at=0):
        """One run of the installed updater with its whole hand-over chain;
        ends when no process of the chain is left."""
        journal.unlink(missing_ok=True)
        os.environ.update(ORV_FAULT_JOURNAL=winpath(journal), ORV_FAULT_AT=str(at))
        try:
            proc = orvtest.wine_start([install / EXE_NAME] + self.args)
            proc.wait(timeout=300)
            wait_for_chain(winpath(journal))
        finally:
            del os.environ["ORV_FAULT_JOURNAL"], os.environ["ORV_FAULT_AT"]

    def passes_selftest(self, exe: Path) -> bool:
        """Whether the executable starts and passes its self-test; asked once
        per distinct content."""
        if not exe.is_file():
            return False
        digest = hashlib.sha256(exe.read_bytes()).hexdigest()
        if digest not in self.selftests:
            home = self.work / "selftest"
            home.mkdir(exist_ok=True)
            self.selftests[digest] = orvtest.run_updater("/selftest", "/installpath:" + winpath(home), exe=exe) == 0
        return self.selftests[digest]


def chain_pids(token: str) -> list:
    """The updater processes that carry this run's journal in their environment."""
    pids = []
    for entry in Path("/proc").iterdir():
        try:
            env = (entry / "environ").read_bytes()
            command = (entry / "cmdline").read_bytes().lower()
        except (OSError, ValueError):
            continue
        if b"ORV_FAULT_JOURNAL=" + token.encode() + b"\0" in env and b"orvupdaterw7" in command:
            pids.append(int(entry.name))
    return pids


def wait_for_chain(token: str, timeout=300, quiet=0.5):
    """Each process of the chain starts the next before it ends, yet the next
    can be missing from /proc for a moment while it is made: the chain is
    over once none of its processes has been seen for `quiet` seconds."""
    deadline = time.monotonic() + timeout
    last_seen = time.monotonic()
    while time.monotonic() - last_seen < quiet:
        if chain_pids(token):
            last_seen = time.monotonic()
        if time.monotonic() > deadline:
            for pid in chain_pids(token):
                os.kill(pid, 9)
            raise AssertionError("the hand-over chain did not end within %d s" % timeout)
        time.sleep(0.05)


def read_journal(path: Path) -> list:
    """The steps of a journal: (step, pid, call, what, killed)."""
    lines = path.read_bytes()[16:].decode("utf-8", "replace").splitlines() if path.exists() else []
    return [(int(step), int(pid), call, what, mark == ["KILLED"])
            for step, pid, call, what, *mark in (line.split("\t") for line in lines)]


def files_of(install: Path) -> dict:
    return {p: (install / p).read_bytes() if (install / p).is_file() else None for p in FINAL}


def broken_invariants(scenario: Scenario, install: Path) -> list:
    """What is wrong with an installation at any moment: a file that is
    neither old nor new, a state claim whose files are not in place, a
    replaced file without its backup, an updater that does not start."""
    found = []
    now = files_of(install)
    backups = [p for p in install.iterdir() if p.is_dir() and p.name.startswith("Tarn")]
    for path, data in now.items():
        allowed = {OLD.get(path), FINAL[path]} | {f[path] for _, _, f in PACKAGES.values() if path in f}
        if data not in allowed:
            found.append("%s is neither its old nor a new version" % path)
        elif path in OLD and data != OLD[path] and not any(
                (b / path).is_file() and (b / path).read_bytes() == OLD[path] for b in backups):
            found.append("%s was replaced but has no backup" % path)
    try:
        state = orvtest.read_state(install / "updater-w7.xml")
    except (OSError, UnicodeDecodeError):
        return found + ["updater-w7.xml is missing or unreadable"]
    for index, (name, (old, new, files)) in enumerate(PACKAGES.items()):
        # Once a package is in, each of its files holds its bytes or those of a later package that carries it.
        later = [f for _, _, f in list(PACKAGES.values())[index:]]
        if state.get(name) not in (old, new):
            found.append("updater-w7.xml claims %s %s" % (name, state.get(name)))
        elif state[name] == new and any(now[p] not in {f[p] for f in later if p in f} for p in files):
            found.append("updater-w7.xml claims %s %s before its files are in place" % (name, new))
    if not scenario.passes_selftest(install / EXE_NAME):
        found.append("the installed updater does not start and pass /selftest")
    return found


def leftovers(install: Path) -> list:
    found = [str(p.relative_to(install)) for p in install.rglob("*") if p.is_file() and SIDE_FILE.search(p.name)]
    return found + [name for name in UNFINISHED if (install / name).exists()]


def comparable(install: Path) -> dict:
    """The installation as the user sees it: everything but the trace log and the backups."""
    return {path: data for path, data in orvtest.tree(install).items()
            if path != orvtest.TRACE and not path.startswith("Tarn")}


def try_point(scenario: Scenario, step: int, reference: dict, counted: tuple) -> list:
    install = scenario.fresh("point")
    journal = scenario.work / "journal-point.txt"
    scenario.run(install, journal, at=step)
    killed = [s for s in read_journal(journal) if s[4]]
    if not killed:
        print("NOT REACHED step=%d %s %s" % (step, counted[2], counted[3]), flush=True)
        return []
    where = "step=%d call=%s %s" % (step, killed[0][2], killed[0][3])
    found = ["after the crash: " + v for v in broken_invariants(scenario, install)]
    if (install / EXE_NAME).is_file():
        scenario.run(install, scenario.work / "journal-recovery.txt")
        found += ["after the recovery run: " + v for v in broken_invariants(scenario, install)]
        left = leftovers(install)
        found += ["%s survived the recovery run" % p for p in left]
        now = comparable(install)
        found += ["after the recovery run %s differs from the fully updated installation" % p
                  for p in sorted(set(now) | set(reference))
                  if now.get(p) != reference.get(p) and not p.startswith(tuple(left))]
    return ["VIOLATION %s: %s" % (where, v) for v in found]


def main():
    endpoints = orvtest.read_endpoints()
    site_folder = Path(endpoints["docroot_unix"]) / "faults"
    shutil.rmtree(site_folder, ignore_errors=True)
    work = Path(os.environ.get("TMPDIR", "/tmp")) / "orv-faults"
    shutil.rmtree(work, ignore_errors=True)
    scenario = Scenario(work, site_folder, endpoints["http"] + "faults/")
    try:
        install = scenario.fresh("reference")
        scenario.run(install, work / "journal-count.txt")
        steps = read_journal(work / "journal-count.txt")
        reference = comparable(install)
        # The uninterrupted update must itself be sound and complete.
        problems = broken_invariants(scenario, install) + ["%s survived" % p for p in leftovers(install)]
        problems += ["%s is not its final version" % p for p, d in files_of(install).items() if d != FINAL[p]]
        if orvtest.read_state(install / "updater-w7.xml") != {n: p[1] for n, p in PACKAGES.items()}:
            problems.append("updater-w7.xml does not record every package's new version")
        for problem in problems:
            print("VIOLATION uninterrupted update: " + problem)
        print("counted %d steps" % len(steps), flush=True)
        violations = len(problems)
        points = range(1, len(steps) + 1, max(int(os.environ.get("ORV_FAULTS_EVERY", "10")), 1))
        for step in points:
            for line in try_point(scenario, step, reference, steps[step - 1]):
                print(line, flush=True)
                violations += 1
        print("RESULT faults points=%d violations=%d" % (len(points), violations))
        return 1 if violations or not steps else 0
    finally:
        shutil.rmtree(site_folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
