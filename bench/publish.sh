#!/usr/bin/env bash
# Publishing benchmark. A release of about 200 MiB in 2,500 files (text files
# of 4 to 60 KiB, two incompressible blobs and one large compressible file),
# laid out as three packages, one per folder. Ours: `orvpublish build` of a
# fresh site (deterministic ZIPs, SHA-256, the manifest, its signature, the
# check of the whole site by the updater's rules, and the site written to
# disk before it takes its place). The baseline does the bare work natively:
# `zip -q -r -X -9` of each folder, `sha256sum` of the ZIPs and
# `openssl dgst -sha256 -sign` of a manifest. The sides take turns in every
# round, in alternating order; wall-clock medians count. Afterwards the
# release is built again over the site: every package must keep its SHA-256.
# Environment (set by ./run bench): ORV_BUILD_DIR.
#   ORV_BENCH_ROUNDS  rounds (default 5, at least 3)
set -uo pipefail

BUILD=${ORV_BUILD_DIR:?}
ROUNDS=${ORV_BENCH_ROUNDS:-5}
[ "$ROUNDS" -ge 3 ] 2>/dev/null || ROUNDS=5
WORK=$BUILD/bench-publish
TOOL=$(dirname "$BUILD")/native/orvpublish

if [ ! -x "$TOOL" ]; then
    echo "orvpublish is missing: ./run build makes it"
    echo "RESULT publish ratio=nan ours=nans baseline=nans goal_max=1.5"
    exit 0
fi

/usr/bin/python3 - "$WORK" "$TOOL" "$ROUNDS" <<'PY'
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

work, tool, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
MIB = 1024 * 1024
release, keys = os.path.join(work, "release"), os.path.join(work, "keys")
FOLDERS = ["Main", "Reports", "Data"]
LAYOUT = "".join("package %s.zip\nversion 1.0\nfiles %s/**\n" % (f, f) for f in FOLDERS)


def make_release():
    """Built once; later runs reuse it."""
    stamp = os.path.join(work, "release-v1.ready")
    if os.path.exists(stamp):
        return
    shutil.rmtree(work, ignore_errors=True)
    rng = random.Random(11)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(3000)]

    def text(size):
        out = bytearray()
        while len(out) < size:
            out += b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
        return bytes(out[:size])

    for i in range(2497):
        folder = os.path.join(release, FOLDERS[i % 3], "d%02d" % (i % 40))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%04d.txt" % i), "wb") as f:
            f.write(text(rng.randint(4 * 1024, 60 * 1024)))
    for folder, name, data in (("Main", "Main.bin", None), ("Reports", "Reports.bin", None),
                               ("Data", "Data.dat", text(36 * MIB))):
        with open(os.path.join(release, folder, name), "wb") as f:
            f.write(data if data is not None else os.urandom(50 * MIB))
    with open(os.path.join(work, "layout.txt"), "w") as f:
        f.write(LAYOUT)
    subprocess.run([tool, "keygen", keys], check=True, stdout=subprocess.DEVNULL)
    open(stamp, "w").close()


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.sync()


def run_ours(site):
    fresh(site)
    started = time.monotonic()
    done = subprocess.run([tool, "build", "--layout", os.path.join(work, "layout.txt"), "--release", release,
                           "--site", site, "--key", os.path.join(keys, "private.pem")], capture_output=True, text=True)
    elapsed = time.monotonic() - started
    if done.returncode != 0:
        sys.exit("orvpublish build failed: " + done.stderr)
    return elapsed, dict(re.findall(r"^(\S+\.zip) .* sha256 (\w+)$", done.stdout, re.M))


def run_baseline(site):
    fresh(site)
    os.makedirs(site)
    started = time.monotonic()
    for folder in FOLDERS:
        subprocess.run(["zip", "-q", "-r", "-X", "-9", os.path.join(site, folder + ".zip"), folder], cwd=release,
                       check=True)
    sums = subprocess.run(["sha256sum"] + [f + ".zip" for f in FOLDERS], cwd=site, check=True,
                          capture_output=True).stdout
    with open(os.path.join(site, "updater.xml"), "wb") as f:
        f.write(sums)
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", os.path.join(keys, "private.pem"), "-out",
                    os.path.join(site, "updater.xml.sig"), os.path.join(site, "updater.xml")], check=True)
    return time.monotonic() - started


make_release()
ours_site, base_site = os.path.join(work, "site"), os.path.join(work, "baseline")
ours, base, hashes = [], [], []
for r in range(rounds):
    sides = [("ours", ours_site), ("baseline", base_site)]
    for side, site in (sides if r % 2 == 0 else sides[::-1]):
        if side == "ours":
            seconds, packages = run_ours(site)
            ours.append(seconds)
            hashes.append(packages)
        else:
            base.append(run_baseline(site))
    print("round %d: ours %.2fs baseline %.2fs" % (r + 1, ours[-1], base[-1]))

# The release again, over the site the last round made.
done = subprocess.run([tool, "build", "--layout", os.path.join(work, "layout.txt"), "--release", release, "--site",
                       ours_site, "--key", os.path.join(keys, "private.pem")], capture_output=True, text=True)
rebuilt = dict(re.findall(r"^(\S+\.zip) .* sha256 (\w+)$", done.stdout, re.M))
identical = done.returncode == 0 and len(rebuilt) == 3 and all(h == rebuilt for h in hashes)
unchanged = len(re.findall(r" unchanged, ", done.stdout))
shutil.rmtree(base_site, ignore_errors=True)

ratios = [o / b for o, b in zip(ours, base)]
o, b = statistics.median(ours), statistics.median(base)
print("RESULT publish ratio=%.2f ours=%.2fs baseline=%.2fs goal_max=1.5 ratio_spread=%.2f..%.2f rounds=%d "
      "rebuild_identical=%s rebuild_unchanged=%d" %
      (o / b, o, b, min(ratios), max(ratios), rounds, "yes" if identical else "no", unchanged))
PY
if [ $? -ne 0 ]; then
    echo "RESULT publish ratio=nan ours=nans baseline=nans goal_max=1.5"
fi
exit 0
