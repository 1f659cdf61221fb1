#!/usr/bin/env python3
# Crash safety, proven: a real three-package update (database files, a file
# that two packages replace, a read-only target, the updater's own executable
# in a package) is counted once, step by step, at every call that changes the
# disk or the registry or starts a program, across the whole hand-over chain.
# Then, for each step N, the update is ended abruptly at N, run again the way
# a user would run it, and the installation is checked after the crash and
# after the recovery run. The same is done along the reboot path (a file in
# use is replaced at the restart, which the user accepts; the restart and the
# logon's RunOnce command follow), a second time during the recovery run
# itself (double faults), and with a write torn in half by the crash.
#
# ORV_FAULTS_FULL=1 (./run faults) tries the densities of FULL, otherwise
# those of SAMPLE. Prints one VIOLATION line per broken invariant and ends with
# RESULT faults points=<n> reboot_points=<n> double_points=<n> torn_points=<n> violations=<n>.
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
REBOOT_STAGE, SELF_STAGE = ".orvw7-reboot-pending", ".orvupdaterw7-selfupdate"
# What an update leaves only while it is under way.
UNFINISHED = (SELF_STAGE, REBOOT_STAGE, "pending-updater-w7.xml")
RUN_ONCE_VALUE = "OrvUpdaterW7Finish"
# Every how many steps each sweep tries: a step of the update, of the reboot
# cycle, a first crash that gets a second one, the second crash within the
# recovery run, a write torn in half. The hand-over chain's steps all get a
# second crash in FULL, every tenth in SAMPLE.
FULL = dict(points=1, reboot=1, double_first=10, double_chain=1, double_second=20, torn=2)
SAMPLE = dict(points=10, reboot=40, double_first=400, double_chain=16, double_second=80, torn=40)

# Each package's versions in manifest order, the installed one first: {name: [(version, {path: bytes})]}.
PACKAGES = {
    "OrvCore.zip": [("1.0", {"OrvCore.dll": b"core 1.0", "Shared.dll": b"shared 1.0", "Settings.cfg": b"settings 1.0",
                             "Data/orvcore.dat": b"data 1.0"}),
                    ("2.0", {"OrvCore.dll": b"core 2.0", "Shared.dll": b"shared from core 2.0",
                             "Settings.cfg": b"settings 2.0", "Data/orvcore.dat": b"data 2.0"})],
    "OrvReports.zip": [("1.0", {"OrvReports.dll": b"reports 1.0"}),
                       ("2.0", {"OrvReports.dll": b"reports 2.0", "Shared.dll": b"shared from reports 2.0",
                                "Reports/Monthly/new.txt": b"a new template"})],
    "OrvUpdater.zip": [("27.0.0.4", {EXE_NAME: orvtest.EXE.read_bytes()}), ("27.0.0.5", {EXE_NAME: NEXT_EXE.read_bytes()})],
}
USER = {"orvMain.accdb": b"the customer's database", "orvArchive.mdb": b"the customer's archive"}
READ_ONLY = "Settings.cfg"
# In use by a program the updater may not stop: its new copy waits for the restart.
HELD = "OrvReports.dll"


def merged(packages: dict, which: int, user: dict) -> dict:
    """The files of one version of every package (0: the installed, -1: the newest), in manifest order."""
    files = dict(user)
    for versions in packages.values():
        files.update(versions[which][1])
    return files


class Scenario:
    """An installation, the packages that update it and how the updater is run."""

    def __init__(self, work: Path, packages=PACKAGES, user=USER, args=(), exe=orvtest.EXE):
        self.work, self.packages, self.user, self.args = work, packages, user, list(args)
        self.read_only = READ_ONLY if packages is PACKAGES else None
        self.template = work / "template"
        self.selftests = {}
        orvtest.write_files(self.template, dict(merged(packages, 0, user), **{EXE_NAME: exe.read_bytes()}))
        orvtest.write_manifest(self.template / "updater-w7.xml", {n: v[0][0] for n, v in packages.items()})

    def publish(self, folder: Path, which=-1):
        for name, versions in self.packages.items():
            orvtest.make_zip(folder / name, versions[which][1])
        orvtest.write_manifest(folder / "updater.xml", {n: v[which][0] for n, v in self.packages.items()})

    def fresh(self, name, like=None) -> Path:
        folder = self.work / name
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(like or self.template, folder)
        if like is None and self.read_only:
            (folder / self.read_only).chmod(0o444)
        return folder

    def run(self, install: Path, journal: Path, at=0, args=None, torn=False, keep=False) -> int:
        """One run of the installed updater with its whole hand-over chain, counted
        in journal (continued when keep); ends when no process of the chain is left."""
        if not keep:
            journal.unlink(missing_ok=True)
            Path(str(journal) + ".torn").unlink(missing_ok=True)
        env = dict(ORV_FAULT_JOURNAL=winpath(journal), ORV_FAULT_AT=str(at), **({"ORV_FAULT_TORN": "1"} if torn else {}))
        os.environ.update(env)
        try:
            proc = orvtest.wine_start([install / EXE_NAME] + (self.args if args is None else args))
            proc.wait(timeout=600)
            wait_for_chain(winpath(journal))
            return proc.returncode
        finally:
            for name in env:
                del os.environ[name]

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
    """The steps of a journal: (step, pid, call, what, how it ended the process or "")."""
    lines = path.read_bytes()[16:].decode("utf-8", "replace").splitlines() if path.exists() else []
    return [(int(step), int(pid), call, what, "".join(mark)) for step, pid, call, what, *mark in
            (line.split("\t") for line in lines)]


def killed(journal: Path) -> list:
    return [s for s in read_journal(journal) if s[4]]


class Plain:
    """An update that crashed is simply run again."""
    name = "points"

    @staticmethod
    def update(scenario, install, journal, at=0, torn=False):
        scenario.run(install, journal, at, torn=torn)

    @staticmethod
    def recover(scenario, install, journal, at=0):
        scenario.run(install, journal, at)


class Reboot:
    """HELD is in use during the update and the user accepts the restart; the
    restart and the logon follow. After a crash, the machine restarts and the
    user runs the updater again."""
    name = "reboot_points"

    @staticmethod
    def update(scenario, install, journal, at=0, torn=False):
        with orvtest.Holder(scenario.work, install / HELD, 1):
            boxes = orvtest.BoxAnswerer(scenario.work, "yes", "ORV Update - Restart Required", timeout_ms=600000)
            scenario.run(install, journal, at, [a for a in scenario.args if a != "/silent"], torn=torn)
            orvtest.kill_group(boxes.proc)
        if not killed(journal):
            logon(scenario, install, journal, at)

    @staticmethod
    def recover(scenario, install, journal, at=0):
        journal.unlink(missing_ok=True)
        logon(scenario, install, journal, at)
        if not killed(journal):
            scenario.run(install, journal, at, keep=True)


def logon(scenario, install, journal, at):
    """The restart carries out the delayed moves; at the logon Windows deletes
    the RunOnce value and runs its command."""
    orvtest.wine(["wineboot", "-r"])
    command = orvtest.registry_value(orvtest.RUN_ONCE, RUN_ONCE_VALUE)
    if command:
        orvtest.wine(["reg", "delete", orvtest.RUN_ONCE, "/v", RUN_ONCE_VALUE, "/f"])
        program, *args = orvtest.split_command(command)
        assert orvtest.unixpath(program) == install / EXE_NAME, command
        scenario.run(install, journal, at, args, keep=True)


def files_of(scenario: Scenario, install: Path) -> dict:
    paths = set(scenario.user) | {p for versions in scenario.packages.values() for _, f in versions for p in f}
    return {p: (install / p).read_bytes() if (install / p).is_file() else None for p in paths}


def has_entries(folder: Path) -> bool:
    return folder.is_dir() and any(folder.iterdir())


def broken_invariants(scenario: Scenario, install: Path) -> list:
    """What is wrong with an installation at any moment: a file that is none of
    its versions, a state claim whose files are not in place, a replaced file
    without its backup, a replacement waiting for the restart that no RunOnce
    value will finish, an updater that does not start."""
    found = []
    now = files_of(scenario, install)
    before = merged(scenario.packages, 0, scenario.user)
    backups = [p for p in install.iterdir() if p.is_dir() and p.name.startswith("Tarn")]
    carried = {p: {f[p] for versions in scenario.packages.values() for _, f in versions if p in f} for p in now}
    for path, data in now.items():
        if data not in carried[path] | {before.get(path)}:
            found.append("%s is none of its versions" % path)
        elif path in before and data != before[path] and not any(
                (b / path).is_file() and (b / path).read_bytes() == before[path] for b in backups):
            found.append("%s was replaced but has no backup" % path)
    # The pending document counts once it would be promoted: nothing waits in the stage folders.
    documents = ["updater-w7.xml"] + ["pending-updater-w7.xml"] * (
        not has_entries(install / REBOOT_STAGE) and not has_entries(install / SELF_STAGE))
    for document in documents:
        try:
            state = orvtest.read_state(install / document)
        except (OSError, UnicodeDecodeError):
            if document == documents[0] or (install / document).exists():
                found.append("%s is missing or unreadable" % document)
            continue
        found += ["%s %s" % (document, claim) for claim in false_claims(scenario, state, now)]
    if has_entries(install / REBOOT_STAGE) and not orvtest.registry_value(orvtest.RUN_ONCE, RUN_ONCE_VALUE):
        found.append("a replacement waits for the restart, but no RunOnce value will finish it")
    if not scenario.passes_selftest(install / EXE_NAME):
        found.append("the installed updater does not start and pass /selftest")
    return found


def false_claims(scenario: Scenario, state: dict, now: dict) -> list:
    """The claims of a state document that run ahead of the files: once a
    version is claimed, each of its files holds that version's bytes, a later
    version's, or those of a later package that carries it."""
    found = []
    names = list(scenario.packages)
    for index, (name, versions) in enumerate(scenario.packages.items()):
        claimed = [i for i, (version, _) in enumerate(versions) if version == state.get(name)]
        if not claimed:
            found.append("claims %s %s" % (name, state.get(name)))
            continue
        later = [f for _, f in versions[claimed[0]:]] + [f for n in names[index + 1:] for _, f in scenario.packages[n]]
        if any(now[p] not in {f[p] for f in later if p in f} for p in versions[claimed[0]][1]):
            found.append("claims %s %s before its files are in place" % (name, state[name]))
    return found


def leftovers(install: Path, registry=False) -> list:
    found = [str(p.relative_to(install)) for p in install.rglob("*") if p.is_file() and SIDE_FILE.search(p.name)]
    found += [name for name in UNFINISHED if (install / name).exists()]
    return found + (["the RunOnce value"] if registry and orvtest.registry_value(orvtest.RUN_ONCE, RUN_ONCE_VALUE) else [])


def comparable(install: Path) -> dict:
    """The installation as the user sees it: everything but the trace log and the backups."""
    return {path: data for path, data in orvtest.tree(install).items()
            if path != orvtest.TRACE and not path.startswith("Tarn")}


def finished(scenario, install, reference, registry=True) -> list:
    """What is wrong once an update has run its course."""
    left = leftovers(install, registry)
    now = comparable(install)
    return broken_invariants(scenario, install) + ["%s survived" % p for p in left] + [
        "%s differs from the fully updated installation" % p for p in sorted(set(now) | set(reference))
        if now.get(p) != reference.get(p) and not p.startswith(tuple(left))]


def try_point(scenario, path, step, reference, torn=False, second=None, keep=False) -> tuple:
    """Ends path's update at step (its write torn in half when torn) or, with
    second, the recovery run from the crash that keep saved, at that step of
    its own; checks, recovers, checks. Returns the number of violations and
    the recovery's steps."""
    crashed = scenario.work / "crashed"
    install = scenario.fresh("point", like=crashed if second else None)
    journal, recovery = scenario.work / "journal-point.txt", scenario.work / "journal-recovery.txt"
    if second:
        path.recover(scenario, install, journal, second)
    else:
        path.update(scenario, install, journal, step, torn)
    ends = killed(journal)
    if not ends:
        print("NOT REACHED %s step=%s/%s" % (path.name, step, second), flush=True)
        return 0, []
    found = ["after the crash: " + v for v in broken_invariants(scenario, install)]
    found += ["the write was not torn"] * (torn and ends[0][4] != "TORN")
    if keep:
        shutil.rmtree(crashed, ignore_errors=True)
        shutil.copytree(install, crashed)
    path.recover(scenario, install, recovery)
    found += ["after recovery: " + v for v in finished(scenario, install, reference, path is Reboot)]
    for violation in found:
        print("VIOLATION %s step=%s%s call=%s %s %s: %s" % (path.name, step, "/%d" % second if second else "",
                                                           ends[0][2], ends[0][3], ends[0][4], violation), flush=True)
    return len(found), read_journal(recovery)


def sweep(scenario, density, counts) -> int:
    """The reference runs of both paths and their sweeps; returns the number of violations."""
    violations = 0
    reference = None
    for path in (Plain, Reboot):
        install = scenario.fresh("reference-" + path.name)
        path.update(scenario, install, scenario.work / "journal-count.txt")
        steps = read_journal(scenario.work / "journal-count.txt")
        print("%s: counted %d steps" % (path.name, len(steps)), flush=True)
        # The uninterrupted update must itself be sound and complete, and both paths end alike.
        reference = reference or comparable(install)
        problems = finished(scenario, install, reference, True) + ["no steps counted"] * (not steps)
        problems += ["%s is not its final version" % p for p, data in files_of(scenario, install).items()
                     if data != merged(scenario.packages, -1, scenario.user).get(p)]
        if orvtest.read_state(install / "updater-w7.xml") != {n: v[-1][0] for n, v in scenario.packages.items()}:
            problems.append("updater-w7.xml does not record every package's newest version")
        for problem in problems:
            print("VIOLATION uninterrupted %s: %s" % (path.name, problem), flush=True)
        violations += len(problems)
        chain = sorted(s[0] for s in steps if s[1] != steps[0][1])
        doubled = set(range(1, len(steps) + 1, density["double_first"])) | set(chain[::density["double_chain"]])
        doubled = doubled if path is Plain else set()
        for step in sorted(set(range(1, len(steps) + 1, density[path.name.split("_")[0]])) | doubled):
            found, recovery = try_point(scenario, path, step, reference, keep=step in doubled)
            violations += found
            counts[path.name] += 1
            every = density["double_second"]
            seconds = range(1 + step % every, len(recovery) + 1, every) if step in doubled else []
            for second in seconds:
                violations += try_point(scenario, path, step, reference, second=second)[0]
            counts["double_points"] += len(seconds)
        torn = [s[0] for s in steps if s[2] == "WriteFile"][::density["torn"]] if path is Plain else []
        for step in torn:
            violations += try_point(scenario, path, step, reference, torn=True)[0]
        counts["torn_points"] += len(torn)
    return violations


def main():
    endpoints = orvtest.read_endpoints()
    site_folder = Path(endpoints["docroot_unix"]) / "faults"
    shutil.rmtree(site_folder, ignore_errors=True)
    work = Path(os.environ.get("TMPDIR", "/tmp")) / "orv-faults"
    shutil.rmtree(work, ignore_errors=True)
    scenario = Scenario(work, args=["/silent", "/autoinstall", "/server:" + endpoints["http"] + "faults/"])
    scenario.publish(site_folder)
    counts = dict(points=0, reboot_points=0, double_points=0, torn_points=0)
    orvtest.clear_reboot_registry()
    try:
        violations = sweep(scenario, FULL if os.environ.get("ORV_FAULTS_FULL") == "1" else SAMPLE, counts)
        print("RESULT faults %s violations=%d" % (" ".join("%s=%d" % c for c in counts.items()), violations))
        return 1 if violations else 0
    finally:
        shutil.rmtree(site_folder, ignore_errors=True)
        orvtest.clear_reboot_registry()


if __name__ == "__main__":
    sys.exit(main())
