#!/usr/bin/env python3
"""Signs the manifest of a publishing folder for updaters built with a
publisher's key: every package entry gets the size and SHA-256 of the file of
its name in the folder, the version element a serial (one above the current
one unless given) and an expiry date (kept, or 90 days from today unless
given), and updater.xml.sig the ECDSA signature of the resulting bytes, made
with openssl and the private key KEY (PEM, P-256)."""
import argparse
import datetime
import hashlib
import os
import re
import subprocess
import sys

NAME = r"[A-Za-z0-9_.:-]+"
BOMS = ((b"\xff\xfe", "utf-16-le"), (b"\xef\xbb\xbf", "utf-8"))


def decode(data):
    for bom, encoding in BOMS:
        if data.startswith(bom):
            return bom, encoding, data[len(bom):].decode(encoding)
    return b"", "utf-8", data.decode("utf-8")


def attribute(tag, name):
    found = re.search(r"\s%s\s*=\s*(\"([^\"]*)\"|'([^']*)')" % name, tag, re.I)
    return None if not found else (found.group(2) if found.group(2) is not None else found.group(3))


def with_attributes(tag, values):
    """The start tag with each attribute of values set (replaced or added)."""
    end = len(tag) - 2 if tag.endswith("/>") else len(tag) - 1
    inner = tag[:end]
    for name, value in values.items():
        inner = re.sub(r"\s+%s\s*=\s*(\"[^\"]*\"|'[^']*')" % name, "", inner, flags=re.I)
        inner += ' %s="%s"' % (name, value)
    return inner + tag[end:]


def sign(folder, key, serial, expires):
    path = os.path.join(folder, "updater.xml")
    with open(path, "rb") as f:
        bom, encoding, text = decode(f.read())
    version = re.search(r"<version\b[^>]*>", text, re.I)
    close = re.search(r"</version", text[version.end():], re.I) if version else None
    if not version or not close:
        sys.exit("%s has no complete <version> element" % path)
    tag = version.group(0)
    if serial is None:
        current = attribute(tag, "serial")
        serial = int(current) + 1 if current and current.isdigit() else 1
    expires = expires or attribute(tag, "expires") or \
        (datetime.datetime.utcnow().date() + datetime.timedelta(days=90)).isoformat()

    def entry(match):
        name = match.group(1)
        package = os.path.join(folder, name)
        if not os.path.isfile(package):
            sys.exit("%s names %s, which is not in %s" % (path, name, folder))
        with open(package, "rb") as f:
            data = f.read()
        return with_attributes(match.group(0), {"size": len(data), "sha256": hashlib.sha256(data).hexdigest()})

    content = text[version.end():version.end() + close.start()]
    content = re.sub(r"<(%s)(?=[\s>])[^>]*>" % NAME,
                     lambda m: entry(m) if m.group(1).lower().endswith(".zip") else m.group(0), content)
    text = (text[:version.start()] + with_attributes(tag, {"serial": serial, "expires": expires}) + content +
            text[version.end() + close.start():])
    with open(path, "wb") as f:
        f.write(bom + text.encode(encoding))
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out", path + ".sig", path], check=True)
    print("signed %s: serial %d, expires %s" % (path, serial, expires))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("folder")
    parser.add_argument("key")
    parser.add_argument("--serial", type=int)
    parser.add_argument("--expires", help="YYYY-MM-DD, the last day the manifest is good for")
    args = parser.parse_args()
    sign(args.folder, args.key, args.serial, args.expires)


if __name__ == "__main__":
    main()
