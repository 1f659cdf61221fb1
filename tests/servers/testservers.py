#!/usr/bin/env python3
# Loopback servers for the download tests, the end-to-end scenarios and the
# download benchmark.
#
#   testservers.py start --dir DIR [--http-only] [--docroot PATH] [--builtin-port PORT]
#       Starts the servers in the background, waits until they answer and
#       prints the endpoints (also written to DIR/endpoints.txt). They end by
#       themselves when the program that ran `start` (ctest) ends.
#   testservers.py stop --dir DIR
#       Stops what start left running, by process id.
#   testservers.py leftovers --dir DIR
#       Lists the servers a run with this DIR left running (exit code 1 when
#       there is any).
#
# What runs, on 127.0.0.1 only: nginx over HTTP, also on the built-in port of
# the test build when one is given; unless --http-only, a fault server for
# the answers nginx will not give, and squid, a real proxy that alone knows
# the update host PROXY_HOST.
#

import argparse
import contextlib
import fcntl
import glob
import os
import re
import select
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import termios
import threading
import time
import urllib.parse
from pathlib import Path

NGINX = "/usr/sbin/nginx"
SQUID = "/usr/sbin/squid"
ENDPOINTS = "endpoints.txt"
PROXY_HOST = "orv-update.test"


# --------------------------------------------------------------------------
# nginx

NGINX_CONF = """\
daemon off; master_process off; worker_processes 1; pid {ngx}/nginx.pid; error_log {ngx}/error.log warn;
events {{ worker_connections 512; }}
http {{
    access_log {ngx}/access.log; default_type application/octet-stream; sendfile on; keepalive_timeout 15;
    client_body_temp_path {ngx}/tmp/body; proxy_temp_path {ngx}/tmp/proxy; fastcgi_temp_path {ngx}/tmp/fastcgi;
    uwsgi_temp_path {ngx}/tmp/uwsgi; scgi_temp_path {ngx}/tmp/scgi;
    types {{ text/plain txt; application/xml xml; application/zip zip; }}
    server {{
        listen 127.0.0.1:{http_port}; {builtin} server_name localhost; root {docroot};
        # The fault server's relay: a small send buffer, so that what nginx
        # counts as sent is what the relay took.
        listen 127.0.0.1:{relay_port} sndbuf=32k;
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(port, proc, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def start_nginx(workdir, docroot, builtin_port):
    ngx = os.path.join(workdir, "nginx")
    for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
        os.makedirs(os.path.join(ngx, "tmp", sub), exist_ok=True)
    for _ in range(5):
        port, relay_port = free_port(), free_port()
        conf = os.path.join(ngx, "nginx.conf")
        with open(conf, "w") as f:
            # The test build's built-in update hosts point at builtin_port.
            builtin = "listen 127.0.0.1:%d;" % builtin_port if builtin_port else ""
            f.write(NGINX_CONF.format(ngx=ngx, http_port=port, relay_port=relay_port, builtin=builtin,
                                      docroot=docroot))
        with open(os.path.join(ngx, "stderr.log"), "ab") as log:
            proc = subprocess.Popen([NGINX, "-p", ngx, "-e", os.path.join(ngx, "error.log"), "-c", conf],
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if answers(port, proc) and answers(relay_port, proc):
            return proc, port, relay_port
        stop_process(proc)  # most likely another program took the port meanwhile
    raise RuntimeError("nginx did not start; see %s" % os.path.join(ngx, "error.log"))


# --------------------------------------------------------------------------
# squid

SQUID_CONF = """\
http_port 127.0.0.1:{port}
pid_filename {sq}/squid.pid
cache_log {sq}/cache.log
access_log stdio:{sq}/access.log
hosts_file {sq}/hosts
cache deny all
pinger_enable off
netdb_filename none
shutdown_lifetime 0 seconds
visible_hostname orv-test-proxy
http_access allow localhost
http_access deny all
"""


def start_squid(workdir):
    sq = os.path.join(workdir, "squid")
    os.makedirs(sq, exist_ok=True)
    with open(os.path.join(sq, "hosts"), "w") as f:
        f.write("127.0.0.1 %s\n" % PROXY_HOST)
    for _ in range(5):
        port = free_port()
        conf = os.path.join(sq, "squid.conf")
        with open(conf, "w") as f:
            f.write(SQUID_CONF.format(port=port, sq=sq))
        if os.geteuid() == 0:
            # Started by root, squid works as the user "proxy", who writes its logs.
            for path in [sq] + glob.glob(os.path.join(sq, "*")):
                shutil.chown(path, "proxy", "proxy")
        with open(os.path.join(sq, "stderr.log"), "ab") as log:
            proc = subprocess.Popen([SQUID, "-N", "-f", conf], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if answers(port, proc):
            return proc, port
        stop_process(proc)
    raise RuntimeError("squid did not start; see %s" % os.path.join(sq, "cache.log"))


def stop_process(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# --------------------------------------------------------------------------
# Fault server: one request per connection, every answer ends it

GATES = {}
# How many answers the relay has broken, by plan and file.
CUTS = {}
# How long "-stall" pauses an answer.
STALL_SECONDS = 5
GATES_LOCK = threading.Lock()


def gate(name):
    # The two events of a named gate: the held request arrived; it may go on.
    with GATES_LOCK:
        return GATES.setdefault(name, (threading.Event(), threading.Event()))


def hold_at(name):
    arrived, opened = gate(name)
    arrived.set()
    opened.wait(60)


def unsent(sock):
    """Bytes sent on sock that the other side's system has yet to take."""
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


class FaultHandler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(60)
        head = b""
        try:
            while b"\r\n\r\n" not in head and len(head) < 65536:
                piece = self.request.recv(4096)
                if not piece:
                    return
                head += piece
            parts = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ")
            target = urllib.parse.urlsplit(parts[1] if len(parts) == 3 else "")
            query, self.path = urllib.parse.parse_qs(target.query), target.path
            # "/empty/updater.xml" reaches "/empty": a server base can name a fault.
            route = getattr(self, "route_" + ((target.path + "/").split("/")[1] or "echo"), None)
            if route is None:
                self.answer(404, b"not found\n")
            else:
                route(head.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n", query)
        except OSError:
            pass

    def send_head(self, status, headers):
        lines = ["HTTP/1.1 %d Status" % status] + headers + ["Connection: close", "", ""]
        self.request.sendall("\r\n".join(lines).encode("latin-1"))

    def answer(self, status, body):
        self.send_head(status, ["Content-Length: %d" % len(body)])
        self.request.sendall(body)

    def docroot_file(self, relative):
        try:
            with open(os.path.join(self.server.docroot, relative), "rb") as f:
                return f.read()
        except OSError:
            return None

    def route_echo(self, head, query):
        # The request's head as the body.
        self.answer(200, head)

    def route_empty(self, head, query):
        self.answer(200, b"")

    def route_nolength(self, head, query):
        # "/nolength/NAME": the docroot's NAME as a body that ends with the
        # connection, no length announced.
        self.send_head(200, [])
        self.request.sendall(self.docroot_file(self.path[len("/nolength/"):]) or b"")

    def route_files(self, head, query):
        # "/files/SITE/NAME" is the docroot's SITE/NAME; a ZIP stops half-way
        # at gate SITE until it is opened, so a client can be seen mid-download.
        site, _, name = self.path[len("/files/"):].partition("/")
        body = self.docroot_file(os.path.join(site, name))
        if body is None:
            return self.answer(404, b"not found\n")
        half = len(body) // 2 if name.endswith(".zip") else len(body)
        self.send_head(200, ["Content-Length: %d" % len(body)])
        self.request.sendall(body[:half])
        if half < len(body):
            hold_at(site)
            self.request.sendall(body[half:])

    def route_endless(self, head, query, prefix="/endless/", always=False):
        # "/endless/SITE/NAME": the docroot's SITE/NAME, and after a ZIP data
        # without end (32 MiB at most, for a client that never stops).
        name = self.path[len(prefix):]
        self.send_head(200, [])
        self.request.sendall(self.docroot_file(name) or b"")
        for _ in range(512 if always or name.endswith(".zip") else 0):
            self.request.sendall(bytes(65536))

    def route_cut(self, head, query):
        # "/cut/PLAN/SITE/NAME": nginx's SITE/NAME, asked with this request's
        # Range and If-Range and relayed, each answer cut after the byte
        # count PLAN starts with (0: never) by closing the connection. In
        # PLAN, "-reset" cuts with a reset instead (once the client's system
        # has taken what was sent: a reset drops what it holds unread),
        # "-short" makes that many bytes the whole answer, as announced (a
        # server with a truncated copy; it ignores Range), "-flip" inverts the
        # byte there, "-stall" pauses there for STALL_SECONDS and "-hold"
        # until gate SITE opens (these three go on with the rest), "-norange"
        # keeps Range from nginx (a server that ignores it), and "-once"
        # breaks only the first answer of this PLAN and file; other words
        # are left alone (a caller may mark a PLAN as its own). After a cut, a
        # waiting SITE/NAME.next takes the file's place (a new version).
        plan, _, name = self.path[len("/cut/"):].partition("/")
        words = plan.split("-")
        with GATES_LOCK:
            cuts = CUTS.get(self.path, 0)
        limit = int(words[0]) if int(words[0]) and not ("once" in words and cuts) else None
        passed = [] if "norange" in words or "short" in words else [
            line for line in head.decode("latin-1").split("\r\n")[1:] if line.lower().startswith(("range:", "if-range:"))]
        upstream = socket.socket()
        # A small window: nginx sends little more than the relay passes on.
        upstream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
        with upstream:
            upstream.connect(self.server.upstream)
            upstream.sendall(("GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n%s\r\n" % (
                urllib.parse.quote(name), "".join(line + "\r\n" for line in passed))).encode("latin-1"))
            answer = b""
            while b"\r\n\r\n" not in answer:
                piece = upstream.recv(65536)
                if not piece:
                    return
                answer += piece
            top, body = answer.split(b"\r\n\r\n", 1)
            length = re.search(rb"(?im)^content-length: *(\d+)", top)
            if "short" in words and limit is not None and length and int(length.group(1)) > limit:
                top = top[:length.start(1)] + b"%d" % limit + top[length.end(1):]
            self.request.sendall(top + b"\r\n\r\n")
            body = self.relay(upstream, body, limit)
            if body is None:
                return
            with GATES_LOCK:
                CUTS[self.path] = cuts + 1
            if {"hold", "stall", "flip"} & set(words):
                if "hold" in words:
                    hold_at(name.split("/")[0])
                time.sleep(STALL_SECONDS if "stall" in words else 0)
                body = body or upstream.recv(65536)
                self.relay(upstream, bytes([body[0] ^ 0xFF]) + body[1:] if "flip" in words and body else body, None)
                return
        waiting = os.path.join(self.server.docroot, name + ".next")
        if os.path.exists(waiting):
            os.replace(waiting, os.path.join(self.server.docroot, name))
        if "reset" in words:
            deadline = time.monotonic() + 10
            while unsent(self.request) and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(0.2)
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.request.close()

    def relay(self, upstream, body, limit):
        """Passes the body on up to limit bytes (None: all); returns what it
        has not passed on yet, or None when the answer ended first."""
        sent = 0
        while limit is None or sent < limit:
            room = 65536 if limit is None else min(65536, limit - sent)
            piece, body = (body[:room], body[room:]) if body else (upstream.recv(room), b"")
            if not piece:
                return None
            self.request.sendall(piece)
            sent += len(piece)
        return body

    def route_flood(self, head, query):
        # "/flood/SITE/NAME": as "/endless/", after any file (a manifest too).
        self.route_endless(head, query, "/flood/", True)

    def route_trickle(self, head, query):
        # A long announced body in 16 KiB pieces, one every 0.25 s, for a
        # minute at most: a client's 64 KiB reads return every second.
        self.send_head(200, ["Content-Length: %d" % (64 * 1048576)])
        for _ in range(240):
            self.request.sendall(bytes(16384))
            time.sleep(0.25)

    def route_arrived(self, head, query):
        # Answers once the held request of gate `name` has arrived.
        self.answer(200 if gate(query.get("name", [""])[0])[0].wait(60) else 504, b"arrived\n")

    def route_open(self, head, query):
        gate(query.get("name", [""])[0])[1].set()
        self.answer(200, b"open\n")


class FaultServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


# --------------------------------------------------------------------------
# Commands

def write_endpoints(workdir, values):
    path = os.path.join(workdir, ENDPOINTS)
    with open(path + ".new", "w") as f:
        f.writelines("%s=%s\n" % item for item in values.items())
    os.replace(path + ".new", path)


def serve(args):
    workdir = os.path.abspath(args.dir)
    stop_event = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: stop_event.set())
    # The owner's end is seen at once through its process descriptor (a
    # recycled process id can never be mistaken for it).
    owner = os.pidfd_open(args.owner) if args.owner else None
    docroot = os.path.abspath(args.docroot) if args.docroot else os.path.join(workdir, "docroot")
    if not args.docroot:
        os.makedirs(docroot, exist_ok=True)
        with open(os.path.join(docroot, "blob-3m.bin"), "wb") as f:
            f.write(os.urandom(3 * 1048576 + 123))  # not a multiple of any read buffer
    nginx = fault = squid = None
    try:
        nginx, port, relay_port = start_nginx(workdir, docroot, args.builtin_port)
        endpoints = {"http": "http://127.0.0.1:%d/" % port, "docroot": "Z:" + docroot.replace("/", "\\"),
                     "docroot_unix": docroot, "http_log": os.path.join(workdir, "nginx", "access.log")}
        if args.builtin_port:
            endpoints["builtin"] = "http://127.0.0.1:%d/" % args.builtin_port
        if not args.http_only:
            fault = FaultServer(("127.0.0.1", 0), FaultHandler)
            fault.docroot = docroot
            fault.upstream = ("127.0.0.1", relay_port)
            threading.Thread(target=fault.serve_forever, daemon=True).start()
            endpoints["fault"] = "http://127.0.0.1:%d/" % fault.server_address[1]
            squid, proxy_port = start_squid(workdir)
            endpoints.update(proxy="127.0.0.1:%d" % proxy_port, proxy_host=PROXY_HOST,
                             proxy_log=os.path.join(workdir, "squid", "access.log"), proxied="http://%s:%d/" % (
                                 PROXY_HOST, port))
        write_endpoints(workdir, endpoints)
        deadline = time.monotonic() + args.lifetime
        while not stop_event.is_set() and time.monotonic() < deadline and nginx.poll() is None:
            if owner is not None and select.select([owner], [], [], 0.5)[0]:
                break
            stop_event.wait(0 if owner is not None else 0.5)
    finally:
        if fault is not None:
            fault.shutdown()
            fault.server_close()
        for server in (squid, nginx):
            if server is not None:
                stop_process(server)
        Path(workdir, ENDPOINTS).unlink(missing_ok=True)
    return 0


def our_processes(workdir):
    # Live processes of this working folder: the server, its nginx and squid.
    found = []
    for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            with open(cmdline, "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        pid = int(cmdline.split("/")[2])
        if pid != os.getpid() and (b"serve" in words or words[0] in (NGINX.encode(), SQUID.encode())) and any(
                w.startswith(workdir.encode()) for w in words):
            found.append(pid)
    return found


def signal_all(pids, sig):
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, sig)


def stop(args):
    workdir = os.path.abspath(args.dir)
    signal_all(our_processes(workdir), signal.SIGTERM)
    deadline = time.monotonic() + 90
    while our_processes(workdir) and time.monotonic() < deadline:
        time.sleep(0.1)
    signal_all(our_processes(workdir), signal.SIGKILL)
    Path(workdir, ENDPOINTS).unlink(missing_ok=True)
    return 0


def leftovers(args):
    found = our_processes(os.path.abspath(args.dir))
    for pid in found:
        print("process %d" % pid)
    return 1 if found else 0


def start(args):
    workdir = os.path.abspath(args.dir)
    os.makedirs(workdir, exist_ok=True)
    stop(args)
    command = [sys.executable, os.path.abspath(__file__), "serve", "--dir", workdir, "--lifetime", str(args.lifetime),
               "--owner", str(os.getppid())]
    command += ["--http-only"] if args.http_only else []
    command += ["--docroot", os.path.abspath(args.docroot)] if args.docroot else []
    command += ["--builtin-port", str(args.builtin_port)] if args.builtin_port else []
    log_path = os.path.join(workdir, "serve.log")
    with open(log_path, "ab") as log:
        # A session of its own and no inherited pipes: the caller must not
        # wait for the servers to end.
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    endpoints = os.path.join(workdir, ENDPOINTS)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and proc.poll() is None:
        if os.path.exists(endpoints):
            with open(endpoints) as f:
                sys.stdout.write(f.read())
            return 0
        time.sleep(0.1)
    with open(log_path, errors="replace") as f:
        sys.stderr.write("test servers did not start; %s ends with:\n%s" % (log_path, f.read()[-4000:]))
    stop(args)
    return 1


def main():
    parser = argparse.ArgumentParser(description="Loopback servers of the tests")
    parser.add_argument("command", choices=("start", "stop", "serve", "leftovers"))
    parser.add_argument("--dir", required=True, help="working folder (configs, logs, endpoints.txt)")
    parser.add_argument("--docroot", help="serve this folder instead of the generated test files")
    parser.add_argument("--http-only", action="store_true", help="only nginx, no fault server")
    parser.add_argument("--builtin-port", type=lambda v: int(v) if v else 0,
                        help="also serve plain HTTP on this 127.0.0.1 port (empty: none)")
    parser.add_argument("--owner", type=int, default=0, help="end when this process ends")
    parser.add_argument("--lifetime", type=int, default=2400, help="seconds until the servers stop by themselves")
    args = parser.parse_args()
    return {"start": start, "stop": stop, "serve": serve, "leftovers": leftovers}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
