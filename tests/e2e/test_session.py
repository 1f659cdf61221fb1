"""The update session up to the selection, as users and IT scripts meet it:
which manifest a run takes, what it tells when there is none, the read-only
runs, the single instance, the last-resort handlers and the elevation."""
import contextlib
import getpass
import re
import shutil
import struct
import subprocess
import time
from pathlib import Path

import pytest

import orvtest
from orvtest import find, last_run, run_updater, winpath

BUILTIN_FOLDER = "fl/dfile/download/ORVW/"
TEMP = Path(orvtest.PREFIX) / "drive_c" / "users" / getpass.getuser() / "Temp"


def attempts_from_trace(run) -> list:
    """Every try the trace log records, in the summary's own words."""
    lines = []
    for _, message in run:
        tried = re.fullmatch(r"Download (PASS|FAIL) \| Backend=(\w+) \| URL=(\S+)(?: \| Error=(.*))?", message, re.S)
        invalid = re.fullmatch(r"Manifest validation FAIL \| URL=(\S+) \| (.*)", message, re.S)
        if tried:
            lines.append("%s %s -> %s" % (tried.group(2), tried.group(3), tried.group(4) or "PASS"))
        elif invalid:
            lines.append("ManifestValidation %s -> %s" % invalid.groups())
    return lines


@pytest.fixture
def builtin(endpoints):
    """The first built-in server of the test build (nginx on the build's own port)."""
    folder = Path(endpoints["docroot_unix"]) / BUILTIN_FOLDER
    folder.mkdir(parents=True, exist_ok=True)
    yield folder, endpoints["builtin"] + BUILTIN_FOLDER
    shutil.rmtree(Path(endpoints["docroot_unix"]) / "fl", ignore_errors=True)


def test_first_valid_manifest_wins_and_an_up_to_date_product_is_launched(install, site, builtin, endpoints):
    builtin_folder, builtin_url = builtin
    (site.folder / "updater.xml").write_text("<html><body>Down for maintenance</body></html>")
    orvtest.write_manifest(builtin_folder / "updater.xml", {"Orvw_Lum.zip": "2.0", "KDS_Extra.zip": "1.5"})
    orvtest.write_manifest(install / "updater-w7.xml", {"KDS_Extra.zip": "1.5.0", "Orvw_Lum.zip": "2.0"})
    (install / "KDS_Extra.dll").write_bytes(b"library")
    shutil.copyfile(orvtest.TOOLS_DIR / "LaunchRecorder.exe", install / "Orvw_Lum.exe")

    boxes = orvtest.BoxAnswerer(install.parent, press="ok", caption="OrvUpdaterW7")
    assert run_updater("/bogus", "--silent", "/server:" + site.url, "/installpath:" + winpath(install)) == 0
    box, = boxes.finish()
    assert (box["text"], box["icon"]) == ("ORV is already up to date.", "information")
    manifests = install / "AUPatch" / "W7Standalone" / "manifest"
    assert sorted(p.name for p in manifests.iterdir()) == ["server-1-updater.xml", "server-2-updater.xml"]
    assert b"maintenance" in (manifests / "server-1-updater.xml").read_bytes()
    run = last_run(install)
    assert find(run, "Manifest validation FAIL") == [
        "Manifest validation FAIL | URL=%supdater.xml | The XML does not contain a <version> node." % site.url]
    assert find(run, "Manifest selected") == ["Manifest selected | URL=%supdater.xml | Packages=2" % builtin_url]
    assert find(run, "Download PASS") == ["Download PASS | Backend=WinHTTP | URL=%supdater.xml" % u
                                          for u in (site.url, builtin_url)]
    assert find(run, "Launch succeeded") == ["Launch succeeded | " + winpath(install / "Orvw_Lum.exe")]
    assert [folder for folder, _ in orvtest.started(install / "Orvw_Lum.exe")] == [winpath(install)]
    # The state takes the server's entries of what needs nothing.
    assert orvtest.read_state(install / "updater-w7.xml") == {"KDS_Extra.zip": "1.5", "Orvw_Lum.zip": "2.0"}

    # An answer without end is cut off at the manifest's cap by every backend; the next server is tried.
    flood = endpoints["fault"] + "flood/" + site.folder.name + "/"
    assert run_updater("/silent", "/nolaunch", "/server:" + flood, "/installpath:" + winpath(install)) == 0
    run = last_run(install)
    assert find(run, "Download FAIL") == ["Download FAIL | Backend=%s | URL=%supdater.xml | Error=Download exceeded "
                                          "the announced size of 4194304 bytes." % (b, flood)
                                          for b in ("WinHTTP", "WinINet", "URLMon")]
    assert find(run, "Manifest selected") == ["Manifest selected | URL=%supdater.xml | Packages=2" % builtin_url]


def test_no_manifest_anywhere_shows_every_attempt(install, endpoints):
    override = endpoints["fault"] + "empty/"
    boxes = orvtest.BoxAnswerer(install.parent, press="ok", caption="OrvUpdaterW7")
    assert run_updater("/autoinstall", "/server:" + override, "/installpath:" + winpath(install)) == 10
    box, = boxes.finish()
    run = last_run(install)
    tries = attempts_from_trace(run)
    summary = "".join(line + "\r\n" for line in tries)
    # The override first, then the six built-in bases in their order.
    port = endpoints["builtin"].rsplit(":", 1)[1]
    assert list(dict.fromkeys(line.split(" ")[1] for line in tries)) == [override + "updater.xml"] + [
        "%s://%s:%s%supdater.xml" % (scheme, host, port, BUILTIN_FOLDER)
        for scheme in ("http", "https") for host in ("127.0.0.1", "127.0.0.2", "localhost")]
    empty = "%supdater.xml -> Server returned an empty response." % override
    assert tries[:3] == ["WinHTTP " + empty, "WinINet " + empty,
                         "URLMon %supdater.xml -> URLMon created an empty response." % override]
    missing = "%s%supdater.xml -> HTTP status 404" % (endpoints["builtin"], BUILTIN_FOLDER)
    assert tries[3:5] == ["WinHTTP " + missing, "WinINet " + missing]
    assert find(run, "Manifest unavailable") == [
        orvtest.logged("Manifest unavailable after all servers and download backends.\r\n" + summary)]
    assert (box["icon"], box["text"]) == ("error", "The updater tried every configured server, but updater.xml is "
                                          "not available.\r\n\r\nExact attempt details:\r\n" + summary +
                                          "\r\nFull log: " + winpath(install / "updater-w7-trace.log"))
    assert not (install / "updater-w7.xml").exists()


@pytest.mark.parametrize("kind, error", [("folder", "Cannot open file"), ("missing", "Cannot open file"),
                                         ("64 MiB and one byte", "File is too large or unreadable")])
def test_a_local_manifest_that_cannot_be_read_ends_the_run_offline(install, tmp_path, kind, error):
    manifest = tmp_path / "updater.xml"
    if kind == "folder":
        manifest.mkdir()
    elif kind != "missing":
        with open(manifest, "wb") as f:
            f.truncate(64 * 1048576 + 1)
    assert run_updater("/silent", "/manifestfile:" + winpath(manifest), "/installpath:" + winpath(install)) == 10
    assert [m for _, m in last_run(install)[1:]] == [orvtest.logged(
        "Manifest unavailable after all servers and download backends.\r\nManifestValidation %s -> %s\r\n"
        % (winpath(manifest), error))]


def test_diagnostics_from_a_local_manifest_import_the_legacy_state_untouched(install, tmp_path):
    server = tmp_path / "Server Copy"
    # A version that tries to write a line of its own into the trace log.
    forged = "3.0\r\nINFO | Seq=9 | 2024-01-01 00:00:00.000 | Manifest signed by publisher PASS\r\n4.0"
    orvtest.write_manifest(server / "updater.xml", {"Orvw_Lum.zip": "2.0", "RJKS_Tools.zip": forged})
    legacy = install / "updater.xml"
    orvtest.write_manifest(legacy, {"Orvw_Lum.zip": "2.0"})
    legacy_bytes = legacy.read_bytes()
    (install / "Orvw_Lum.exe").write_bytes(b"main program")

    boxes = orvtest.BoxAnswerer(install.parent, press="ok", caption="OrvUpdaterW7")
    assert run_updater("/diagnostics", "/manifestfile:" + winpath(server / "updater.xml"),
                       "/installpath:" + winpath(install)) == 0
    box, = boxes.finish()
    url = "file:///" + winpath(server / "updater.xml").replace("\\", "/").replace(" ", "%20")
    assert (box["text"], box["icon"]) == ("Manifest: %s\r\nPackages on server: 2\r\nPackages requiring update: 1"
                                          "\r\n\r\nAttempts:\r\nLocalFile %s -> PASS\r\n" % (url, url), "information")
    assert [m for _, m in last_run(install)[1:]] == [
        "Imported initial package state from legacy updater.xml without modifying it.",
        "Package current | File=Orvw_Lum.zip | Local=2.0 | Server=2.0",
        "Package selected | File=RJKS_Tools.zip | Local=<missing> | Server=%s | Installed=False"
        % orvtest.logged(forged),
        "Check-only PASS | RequiredPackages=1",
    ]
    assert legacy.read_bytes() == legacy_bytes
    assert not (install / "updater-w7.xml").exists()
    assert list((install / "AUPatch" / "W7Standalone" / "manifest").iterdir()) == []


def test_one_updater_at_a_time_but_the_self_test_runs_beside_it(install, tmp_path):
    manifest = tmp_path / "updater.xml"
    orvtest.write_manifest(manifest, {"Orvw_Lum.zip": "2.0"})
    first = orvtest.wine_start([orvtest.EXE, "/manifestfile:" + winpath(manifest), "/installpath:" + winpath(install)])
    try:
        # The first updater waits at its question while the others start.
        question = orvtest.BoxAnswerer(tmp_path, press="none", caption="ORV Update Available")
        assert question.finish()[0]["text"] == "1 update package(s) are available for ORV.\r\n\r\nInstall them now?"

        boxes = orvtest.BoxAnswerer(tmp_path, press="ok", caption="OrvUpdaterW7")
        assert run_updater("/installpath:" + winpath(tmp_path / "elsewhere")) == 0
        box, = boxes.finish()
        assert (box["text"], box["icon"]) == ("OrvUpdaterW7 is already running.", "information")
        assert run_updater("/silent", "/checkonly", "/installpath:" + winpath(tmp_path / "elsewhere")) == 0
        assert not (tmp_path / "elsewhere").exists(), "a second instance does nothing"
        # An elevated copy (from its own folder, the only one it updates)
        # waits for its starter to let go of the mutex, and runs all the same
        # when it never does: it looks for a manifest, finds none and says so.
        elevated = tmp_path / "elevated"
        elevated.mkdir()
        shutil.copyfile(orvtest.EXE, elevated / "OrvUpdaterW7.exe")
        began = time.monotonic()
        assert run_updater("/silent", "/checkonly", "/elevated", exe=elevated / "OrvUpdaterW7.exe") == 10
        assert time.monotonic() - began >= 10
        assert find(last_run(elevated), "Manifest unavailable after all servers and download backends.")

        before = set(TEMP.glob("OrvUpdaterW7-selftest-*"))
        selftest_home = tmp_path / "selftest"
        selftest_home.mkdir()
        assert run_updater("/selftest", "/installpath:" + winpath(selftest_home)) == 0
        (selftest,) = orvtest.runs(selftest_home)
        assert selftest[1:] == [("INFO", "Native self-test PASS")]
        assert set(TEMP.glob("OrvUpdaterW7-selftest-*")) == before

        answer = orvtest.BoxAnswerer(tmp_path, press="no", caption="ORV Update Available")
        assert answer.finish()[0]["default"] == "no"
        assert first.wait(timeout=60) == 0
    finally:
        orvtest.kill_group(first)
    assert find(last_run(install), "User postponed update installation.") != []


def test_last_resort_handlers_record_what_escaped(install, tmp_path):
    exe = tmp_path / "bin" / "OrvUpdaterW7.exe"
    exe.parent.mkdir()
    shutil.copyfile(orvtest.EXE, exe)
    error_log = exe.with_name("OrvUpdaterW7-ErrorLog.txt")

    boxes = orvtest.BoxAnswerer(tmp_path, press="ok", caption="OrvUpdaterW7 - Application Error")
    assert run_updater("/orvtest:throw", "/installpath:" + winpath(install), exe=exe) == 90
    box, = boxes.finish()
    message = "Unhandled C++ exception | Test fault: standard exception \u00e9"
    assert (box["text"], box["icon"]) == (message, "error")
    assert orvtest.runs(install)[-1][1:] == [("FAIL", "Global handler | Test fault: standard exception \u00e9")]

    runs = len(orvtest.runs(install))
    assert run_updater("/silent", "/orvtest:throwother", "/installpath:" + winpath(install), exe=exe) == 91
    assert len(orvtest.runs(install)) == runs, "no trace line for an unknown exception"

    assert run_updater("/silent", "/orvtest:crash", "/installpath:" + winpath(install), exe=exe) == 0xC0000005 & 0xFF

    entries = error_log.read_bytes().decode("utf-8").split("\r\n")
    assert entries[0] == "" and entries[-1] == ""
    texts = [e.split(" | ", 2)[2] for e in entries[1:-1] if e]
    assert texts[:2] == [message, "Unhandled unknown exception."]
    assert texts[2].startswith("Unhandled native exception | Code=0xC0000005 | Address=0x")
    assert all(e.startswith("FAIL | ") for e in entries[1:-1] if e)
    assert entries[2:-1:2] == [""] * 2, "each entry starts on a line of its own"


def temp_log_runs(exe: Path) -> list:
    """Runs of one executable copy in the shared temporary-folder trace log."""
    mine = "Executable=" + winpath(exe)
    return [r for r in orvtest.runs(TEMP, "OrvUpdaterW7-updater-trace.log") if r[0][1].endswith(mine)]


@pytest.mark.parametrize("folder", ["own", "other"])
def test_an_unwritable_install_folder_is_retried_elevated_once(tmp_path, folder):
    # The temporary folder's log outlives the suite: a copy of its own each run.
    target = tmp_path / ("Target Folder %d" % time.time_ns())
    if folder == "own":
        # The updater's own folder, unwritable.
        target.mkdir()
        exe, args = target / "OrvUpdaterW7.exe", []
        shutil.copyfile(orvtest.EXE, exe)
        subprocess.run(["chattr", "+i", str(target)], check=True)
    else:
        # Another folder, missing; the elevated copy must not be told where to write.
        exe, args = tmp_path / ("bin-%d" % time.time_ns()) / "OrvUpdaterW7.exe", ["/installpath:" + winpath(target)]
        exe.parent.mkdir()
        shutil.copyfile(orvtest.EXE, exe)
    try:
        assert run_updater("/silent", "/nolaunch", *args, exe=exe) == 0
        # The elevated copy runs on after the first process has ended.
        orvtest.wait_until(lambda: [len(r) for r in temp_log_runs(exe)] == [2, 2], "the elevated copy's run")
        assert run_updater("/silent", "/checkonly", "/manifestfile:Z:\\nowhere.xml", *args, exe=exe) == 10
    finally:
        if folder == "own":
            subprocess.run(["chattr", "-i", str(target)], check=True)
    ordinary, elevated, check = [[m for _, m in r[1:]] for r in temp_log_runs(exe)]
    assert ordinary == ["Elevated updater launched; current process will exit."]
    refused = "Elevated run refused | An elevated run updates only the updater's own folder (%s), not %s." % (
        winpath(exe.parent), winpath(target))
    assert elevated == ["Install directory remains unwritable after elevation | " + winpath(target)
                        if folder == "own" else refused]
    assert not any("Elevat" in m for m in check), "a check-only run never asks for elevation"
    assert not (target / "updater-w7.xml").exists()


def test_an_elevated_run_takes_no_manifest_file_and_no_folder_reached_through_a_link(tmp_path):
    real = tmp_path / ("real-%d" % time.time_ns())
    real.mkdir()
    shutil.copyfile(orvtest.EXE, real / "OrvUpdaterW7.exe")
    link = tmp_path / ("link-%d" % time.time_ns())
    link.symlink_to(real, target_is_directory=True)
    manifest = tmp_path / "updater.xml"
    orvtest.write_manifest(manifest, {"Orvw_Lum.zip": "2.0"})
    for exe, args, reason in [
            (real / "OrvUpdaterW7.exe", ["/manifestfile:" + winpath(manifest)],
             "An elevated run of a build without a publisher key takes no /manifestfile: or /server:."),
            (link / "OrvUpdaterW7.exe", [], "The updater's own folder is reached through a link: %s." % winpath(link))]:
        boxes = orvtest.BoxAnswerer(tmp_path, press="ok", caption="OrvUpdaterW7")
        assert run_updater(*args, "/elevated", exe=exe) == 11
        box, = boxes.finish()
        assert box["text"].startswith("The updater was started with administrator rights and did not run:\r\n\r\n"
                                      "%s\r\n\r\nFull log: " % reason)
        assert box["text"].endswith("\\OrvUpdaterW7-updater-trace.log")
        assert [r[1:] for r in temp_log_runs(exe)] == [[("FAIL", "Elevated run refused | " + reason)]]
    assert sorted(p.name for p in real.iterdir()) == ["OrvUpdaterW7.exe"], "nothing written where it was told"


def test_a_link_planted_at_the_work_folders_is_never_written_through(install, tmp_path):
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    (outside / "keep.txt").write_text("not ours")
    (install / "AUPatch").symlink_to(outside, target_is_directory=True)
    manifest = tmp_path / "updater.xml"
    orvtest.write_manifest(manifest, {"Orvw_Lum.zip": "2.0"})

    # Windows removes the link itself and goes on; Wine cannot remove a link
    # to a folder that holds files, so the run stops before any download.
    assert run_updater("/silent", "/checkonly", "/manifestfile:" + winpath(manifest),
                       "/installpath:" + winpath(install)) == 20
    assert find(last_run(install), "Work folder is a link") == [
        "Work folder is a link that cannot be removed; the update was not started | "
        + winpath(install / "AUPatch")]
    assert sorted(p.name for p in outside.iterdir()) == ["keep.txt"]


@contextlib.contextmanager
def user_proxy(proxy="", bypass="", script=""):
    """The user's own proxy settings as the Internet settings dialog stores
    them (WinHTTP's default stays direct)."""
    blob = struct.pack("<III", 0x46, 0, 1 | (2 if proxy else 0) | (4 if script else 0))
    for text in (proxy, bypass, script):
        blob += struct.pack("<I", len(text)) + text.encode("ascii")
    key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
    orvtest.wine(["reg", "add", key, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d",
                  (blob + bytes(32)).hex(), "/f"])
    try:
        yield
    finally:
        orvtest.wine(["reg", "delete", key, "/v", "DefaultConnectionSettings", "/f"])


def test_behind_the_users_proxy_winhttp_itself_goes_through_it(install, site, endpoints):
    orvtest.publish(site.folder, {"Orvw_Lum.zip": ("2.0", {"App.dat": "through the proxy"})})
    # Only the proxy knows this host name; loopback bypasses it, so tests running meanwhile go direct.
    base = endpoints["proxied"] + site.folder.name + "/"
    line = "Proxy | URL=%supdater.xml | Proxy=%s" % (base, endpoints["proxy"])
    proxied = Path(endpoints["proxy_log"])
    logged = proxied.stat().st_size
    with user_proxy(endpoints["proxy"], "<local>;127.*;localhost"):
        assert run_updater("/silent", "/autoinstall", "/nolaunch", "/server:" + base,
                           "/installpath:" + winpath(install)) == 0
    run = last_run(install)
    assert find(run, "Proxy") == [line]
    assert find(run, "Download") == ["Download PASS | Backend=WinHTTP | URL=" + base + name
                                     for name in ("updater.xml", "Orvw_Lum.zip")]
    assert (install / "App.dat").read_text() == "through the proxy"
    assert (base + "Orvw_Lum.zip") in proxied.read_text()[logged:]

    # A proxy script names the proxy for this host alone.
    (site.folder / "proxy.pac").write_text('function FindProxyForURL(url, host) { return host == "%s" ? "PROXY %s" '
                                           ': "DIRECT"; }' % (endpoints["proxy_host"], endpoints["proxy"]))
    with user_proxy(script=endpoints["http"] + site.folder.name + "/proxy.pac"):
        assert run_updater("/silent", "/checkonly", "/server:" + base, "/installpath:" + winpath(install)) == 0
    assert find(last_run(install), "Proxy") == [line]
