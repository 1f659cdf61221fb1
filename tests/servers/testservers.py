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
# the answers nginx will not give.
#

import argparse
import contextlib
import glob
import os
import select
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

NGINX = "/usr/sbin/nginx"
ENDPOINTS = "endpoints.txt"


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
        port = free_port()
        conf = os.path.join(ngx, "nginx.conf")
        with open(conf, "w") as f:
            # The test build's built-in update hosts point at builtin_port.
            builtin = "listen 127.0.0.1:%d;" % builtin_port if builtin_port else ""
            f.write(NGINX_CONF.format(ngx=ngx, http_port=port, builtin=builtin, docroot=docroot))
        with open(os.path.join(ngx, "stderr.log"), "ab") as log:
            proc = subprocess.Popen([NGINX, "-p", ngx, "-e", os.path.join(ngx, "error.log"), "-c", conf],
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if answers(port, proc):
            return proc, port
        stop_process(proc)  # most likely another program took the port meanwhile
    raise RuntimeError("nginx did not start; see %s" % os.path.join(ngx, "error.log"))


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
GATES_LOCK = threading.Lock()


def gate(name):
    # The two events of a named gate: the held request arrived; it may go on.
    with GATES_LOCK:
        return GATES.setdefault(name, (threading.Event(), threading.Event()))


def hold_at(name):
    arrived, opened = gate(name)
    arrived.set()
    opened.wait(60)


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

    def route_endless(self, head, query):
        # "/endless/SITE/NAME": the docroot's SITE/NAME, and after a ZIP data
        # without end (32 MiB at most, for a client that never stops).
        name = self.path[len("/endless/"):]
        self.send_head(200, [])
        self.request.sendall(self.docroot_file(name) or b"")
        for _ in range(512 if name.endswith(".zip") else 0):
            self.request.sendall(bytes(65536))

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
    nginx = fault = None
    try:
        nginx, port = start_nginx(workdir, docroot, args.builtin_port)
        endpoints = {"http": "http://127.0.0.1:%d/" % port, "docroot": "Z:" + docroot.replace("/", "\\"),
                     "docroot_unix": docroot}
        if args.builtin_port:
            endpoints["builtin"] = "http://127.0.0.1:%d/" % args.builtin_port
        if not args.http_only:
            fault = FaultServer(("127.0.0.1", 0), FaultHandler)
            fault.docroot = docroot
            threading.Thread(target=fault.serve_forever, daemon=True).start()
            endpoints["fault"] = "http://127.0.0.1:%d/" % fault.server_address[1]
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
        if nginx is not None:
            stop_process(nginx)
        Path(workdir, ENDPOINTS).unlink(missing_ok=True)
    return 0


def our_processes(workdir):
    # Live processes of this working folder: the server and its nginx.
    found = []
    for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            with open(cmdline, "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        pid = int(cmdline.split("/")[2])
        if pid != os.getpid() and (b"serve" in words or words[0] == NGINX.encode()) and any(
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
