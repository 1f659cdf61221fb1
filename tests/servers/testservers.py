#!/usr/bin/env python3
"""Loopback servers for the download tests and the download benchmark.

  testservers.py start --dir DIR [--http-only] [--docroot PATH]
      Starts the servers in the background, waits until they answer and
      prints the endpoints (also written to DIR/endpoints.txt).
  testservers.py stop --dir DIR
      Stops what start left running (by process id) and takes the test CA
      out of the system trust store again.
  testservers.py serve --dir DIR [...]
      The server process itself, in the foreground (what start runs).

What runs:
  - nginx (Debian nginx-light) on a free 127.0.0.1 port with a configuration
    written into DIR: static files, gzip for text, "/close" answered by
    closing the connection.
  - The same nginx over TLS, reached as https://localhost:PORT, with a
    certificate from a throw-away CA made here with openssl. Wine trusts the
    system store, so the CA is added to /usr/local/share/ca-certificates
    while the servers run.
  - A fault server (standard library only) for the answers nginx will not
    give: odd status codes, empty and length-less bodies, resets, trickles.
  - A port that refuses connections (bound, never listening).

Everything listens on 127.0.0.1 only. Every process started here is stopped
by its own process id; the server process also ends by itself after
--lifetime seconds, so an aborted test run leaves nothing behind for long.
"""

import argparse
import ctypes
import fcntl
import gzip
import os
import random
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
import zipfile

NGINX = "/usr/sbin/nginx"
TRUST_DIR = "/usr/local/share/ca-certificates"
TRUST_LOCK = "/tmp/orvupdaterw7-ca-trust.lock"
ENDPOINTS = "endpoints.txt"
PID_FILE = "serve.pid"
TRUSTED_FILE = "trusted-ca.txt"

HELLO_TEXT = "".join(
    "Line %04d of the OrvUpdaterW7 download test text, long enough to be worth compressing.\n" % i
    for i in range(64))


def pattern_bytes(size):
    """The fault server's body bytes; the C++ tests compute the same series."""
    return bytes((i * 7 + 3) % 251 for i in range(size))


# --------------------------------------------------------------------------
# Static content

def make_docroot(docroot):
    os.makedirs(docroot, exist_ok=True)
    with open(os.path.join(docroot, "hello.txt"), "w", newline="\n") as f:
        f.write(HELLO_TEXT)
    with open(os.path.join(docroot, "index.html"), "w", newline="\n") as f:
        f.write("<html><body>OrvUpdaterW7 test server</body></html>\n")
    with open(os.path.join(docroot, "updater.xml"), "w", newline="\n") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n<updater>\n'
                '  <package name="Orvw_Lum.zip" version="1.2.3.4" />\n</updater>\n')
    open(os.path.join(docroot, "empty.bin"), "wb").close()
    # A size that is not a multiple of the 64 KiB read buffer.
    with open(os.path.join(docroot, "blob-3m.bin"), "wb") as f:
        f.write(random.Random(20240607).randbytes(3 * 1048576 + 123))
    with zipfile.ZipFile(os.path.join(docroot, "package.zip"), "w") as z:
        z.writestr("bin/", b"")
        z.writestr("bin/tool.txt", HELLO_TEXT, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("readme.txt", b"package readme\r\n", compress_type=zipfile.ZIP_STORED)


# --------------------------------------------------------------------------
# Test CA and server certificate

def run_quiet(args, **kwargs):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)


def make_certificates(tls_dir, token):
    os.makedirs(tls_dir, exist_ok=True)
    ca_key = os.path.join(tls_dir, "ca.key")
    ca_crt = os.path.join(tls_dir, "ca.crt")
    key = os.path.join(tls_dir, "server.key")
    csr = os.path.join(tls_dir, "server.csr")
    crt = os.path.join(tls_dir, "server.crt")
    ext = os.path.join(tls_dir, "server.ext")
    run_quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3",
               "-keyout", ca_key, "-out", ca_crt, "-subj", "/CN=OrvUpdaterW7 throw-away test CA " + token,
               "-addext", "basicConstraints=critical,CA:TRUE",
               "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    run_quiet(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-sha256",
               "-keyout", key, "-out", csr, "-subj", "/CN=localhost"])
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    run_quiet(["openssl", "x509", "-req", "-sha256", "-days", "3", "-in", csr, "-CA", ca_crt,
               "-CAkey", ca_key, "-CAcreateserial", "-out", crt, "-extfile", ext])
    return ca_crt, crt, key


def update_trust_store():
    # Other test suites on this machine may change the store at the same time.
    with open(TRUST_LOCK, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run_quiet(["update-ca-certificates"])


def trust_ca(ca_crt, workdir, token):
    target = os.path.join(TRUST_DIR, "orvupdaterw7-test-%s.crt" % token)
    os.makedirs(TRUST_DIR, exist_ok=True)
    shutil.copyfile(ca_crt, target)
    with open(os.path.join(workdir, TRUSTED_FILE), "w") as f:
        f.write(target + "\n")
    update_trust_store()
    return target


def untrust_ca(workdir):
    record = os.path.join(workdir, TRUSTED_FILE)
    if not os.path.exists(record):
        return
    with open(record) as f:
        target = f.read().strip()
    if target and os.path.exists(target):
        os.remove(target)
        update_trust_store()
    os.remove(record)


# --------------------------------------------------------------------------
# nginx

def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def die_with_parent():
    # nginx must not outlive the server process, even when that is killed.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid {ngx}/nginx.pid;
error_log {ngx}/error.log warn;
events {{ worker_connections 512; }}
http {{
    access_log {ngx}/access.log;
    client_body_temp_path {ngx}/tmp/body;
    proxy_temp_path {ngx}/tmp/proxy;
    fastcgi_temp_path {ngx}/tmp/fastcgi;
    uwsgi_temp_path {ngx}/tmp/uwsgi;
    scgi_temp_path {ngx}/tmp/scgi;
    types {{
        text/html html;
        text/plain txt;
        application/xml xml;
        application/zip zip;
        application/octet-stream bin;
    }}
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 15;
    gzip on;
    gzip_min_length 1;
    gzip_types text/plain application/xml;
    server {{
        listen 127.0.0.1:{http_port};
{builtin_listen}        server_name localhost;
        root {docroot};
        location = /close {{ return 444; }}
        location ^~ /close/ {{ return 444; }}
    }}
{https_server}}}
"""

NGINX_HTTPS_SERVER = """\
    server {{
        listen 127.0.0.1:{https_port} ssl;
        server_name localhost;
        ssl_certificate {crt};
        ssl_certificate_key {key};
        root {docroot};
        location = /close {{ return 444; }}
    }}
"""


def start_nginx(workdir, docroot, tls, builtin_port=None):
    ngx = os.path.join(workdir, "nginx")
    for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
        os.makedirs(os.path.join(ngx, "tmp", sub), exist_ok=True)
    last_error = ""
    for _ in range(5):
        http_port = free_port()
        https_port = free_port() if tls else None
        https_server = ""
        if tls:
            https_server = NGINX_HTTPS_SERVER.format(https_port=https_port, crt=tls[0], key=tls[1],
                                                     docroot=docroot)
        conf = os.path.join(ngx, "nginx.conf")
        # The test build's built-in update hosts point at this port.
        builtin_listen = "        listen 127.0.0.1:%d;\n" % builtin_port if builtin_port else ""
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(ngx=ngx, http_port=http_port, docroot=docroot,
                                      https_server=https_server, builtin_listen=builtin_listen))
        log = open(os.path.join(ngx, "stderr.log"), "ab")
        proc = subprocess.Popen([NGINX, "-p", ngx, "-e", os.path.join(ngx, "error.log"), "-c", conf],
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                preexec_fn=die_with_parent)
        log.close()
        if wait_for_port(http_port, proc) and (not tls or wait_for_port(https_port, proc)):
            return proc, http_port, https_port
        # Most likely another program took the port in the meantime.
        stop_process(proc)
        last_error = "nginx did not start; see %s" % os.path.join(ngx, "error.log")
    raise RuntimeError(last_error)


def stop_process(proc, timeout=10.0):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# --------------------------------------------------------------------------
# Fault server

def query_int(query, name, default):
    values = query.get(name)
    return int(values[0]) if values else default


class FaultHandler(socketserver.BaseRequestHandler):
    """One request per connection; every answer ends with the connection."""

    def handle(self):
        sock = self.request
        sock.settimeout(30)
        head = b""
        try:
            while b"\r\n\r\n" not in head and len(head) < 65536:
                piece = sock.recv(4096)
                if not piece:
                    return
                head += piece
        except OSError:
            return
        head = head.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
        request_line = head.split(b"\r\n", 1)[0].decode("latin-1")
        parts = request_line.split(" ")
        if len(parts) != 3:
            return
        target = urllib.parse.urlsplit(parts[1])
        query = urllib.parse.parse_qs(target.query)
        # "/status/updater.xml" reaches "/status": a server base can name a fault.
        route = ROUTES.get(target.path) or ROUTES.get("/" + target.path.split("/")[1])
        try:
            if route is None:
                self.answer(404, b"not found\n")
            else:
                route(self, head, query)
        except OSError:
            pass

    def send_head(self, status, headers):
        reason = {200: "OK", 204: "No Content", 304: "Not Modified", 404: "Not Found",
                  500: "Internal Server Error"}.get(status, "Status")
        lines = ["HTTP/1.1 %d %s" % (status, reason)] + headers + ["Connection: close", "", ""]
        self.request.sendall("\r\n".join(lines).encode("latin-1"))

    def answer(self, status, body, content_type="text/plain"):
        self.send_head(status, ["Content-Type: " + content_type, "Content-Length: %d" % len(body)])
        self.request.sendall(body)

    def reset(self):
        # A zero linger time makes close() send RST instead of FIN.
        self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.request.close()

    # Routes -----------------------------------------------------------------

    def echo(self, head, query):
        self.answer(200, head)

    def status(self, head, query):
        code = query_int(query, "code", 500)
        if code in (204, 304):
            self.send_head(code, [])
        else:
            self.answer(code, b"<html><body>status page %d</body></html>\n" % code, "text/html")

    def empty(self, head, query):
        self.answer(200, b"")

    def nolength(self, head, query):
        body = pattern_bytes(query_int(query, "size", 100000))
        self.send_head(200, ["Content-Type: application/octet-stream"])
        for start in range(0, len(body), 8192):
            self.request.sendall(body[start:start + 8192])

    def chunked(self, head, query):
        body = pattern_bytes(query_int(query, "size", 100000))
        self.send_head(200, ["Content-Type: application/octet-stream", "Transfer-Encoding: chunked"])
        for start in range(0, len(body), 4000):
            piece = body[start:start + 4000]
            self.request.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
        self.request.sendall(b"0\r\n\r\n")

    def reset_mid_body(self, head, query):
        size = query_int(query, "size", 200000)
        sent = query_int(query, "sent", 50000)
        self.send_head(200, ["Content-Type: application/octet-stream", "Content-Length: %d" % size])
        self.request.sendall(pattern_bytes(sent))
        time.sleep(0.2)
        self.reset()

    def long_body(self, head, query):
        size = query_int(query, "size", 1000)
        extra = query_int(query, "extra", 1000)
        self.send_head(200, ["Content-Type: application/octet-stream", "Content-Length: %d" % size])
        self.request.sendall(pattern_bytes(size + extra))

    def short_body(self, head, query):
        size = query_int(query, "size", 2000)
        sent = query_int(query, "sent", 1000)
        self.send_head(200, ["Content-Type: application/octet-stream", "Content-Length: %d" % size])
        self.request.sendall(pattern_bytes(sent))
        self.request.shutdown(socket.SHUT_WR)
        time.sleep(0.1)

    def gzip_body(self, head, query):
        body = gzip.compress(HELLO_TEXT.encode("ascii"))
        self.send_head(200, ["Content-Type: text/plain", "Content-Encoding: gzip",
                             "Content-Length: %d" % len(body)])
        self.request.sendall(body)

    def trickle(self, head, query):
        size = query_int(query, "size", 20000)
        pieces = max(1, query_int(query, "pieces", 20))
        pause = query_int(query, "ms", 50) / 1000.0
        body = pattern_bytes(size)
        self.send_head(200, ["Content-Type: application/octet-stream", "Content-Length: %d" % size])
        step = (size + pieces - 1) // pieces
        for start in range(0, size, step):
            self.request.sendall(body[start:start + step])
            time.sleep(pause)

    def slow_status(self, head, query):
        time.sleep(query_int(query, "ms", 1000) / 1000.0)
        self.status(head, query)


ROUTES = {
    "/": FaultHandler.echo,
    "/echo": FaultHandler.echo,
    "/status": FaultHandler.status,
    "/empty": FaultHandler.empty,
    "/nolength": FaultHandler.nolength,
    "/chunked": FaultHandler.chunked,
    "/reset": FaultHandler.reset_mid_body,
    "/long": FaultHandler.long_body,
    "/short": FaultHandler.short_body,
    "/gzip": FaultHandler.gzip_body,
    "/trickle": FaultHandler.trickle,
    "/slow-status": FaultHandler.slow_status,
}


class FaultServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


# --------------------------------------------------------------------------
# Commands

def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write_endpoints(workdir, values):
    path = os.path.join(workdir, ENDPOINTS)
    with open(path + ".new", "w") as f:
        for key, value in values.items():
            f.write("%s=%s\n" % (key, value))
    os.replace(path + ".new", path)


def serve(args):
    workdir = os.path.abspath(args.dir)
    os.makedirs(workdir, exist_ok=True)
    stop_event = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop_event.set())
    signal.signal(signal.SIGINT, lambda *_: stop_event.set())
    with open(os.path.join(workdir, PID_FILE), "w") as f:
        f.write("%d\n" % os.getpid())

    docroot = os.path.abspath(args.docroot) if args.docroot else os.path.join(workdir, "docroot")
    if not args.docroot:
        make_docroot(docroot)

    nginx = None
    fault = None
    refuser = None
    try:
        tls = None
        if not args.http_only:
            token = "%d-%d" % (os.getpid(), int(time.time()))
            ca_crt, crt, key = make_certificates(os.path.join(workdir, "tls"), token)
            trust_ca(ca_crt, workdir, token)
            tls = (crt, key)
        nginx, http_port, https_port = start_nginx(workdir, docroot, tls, args.builtin_port)
        endpoints = {"http": "http://127.0.0.1:%d/" % http_port}
        if tls:
            endpoints["https"] = "https://localhost:%d/" % https_port
        if not args.http_only:
            fault = FaultServer(("127.0.0.1", 0), FaultHandler)
            threading.Thread(target=fault.serve_forever, daemon=True).start()
            endpoints["fault"] = "http://127.0.0.1:%d/" % fault.server_address[1]
            # Bound but never listening: every connection is refused.
            refuser = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            refuser.bind(("127.0.0.1", 0))
            endpoints["refused"] = "http://127.0.0.1:%d/" % refuser.getsockname()[1]
        endpoints["docroot"] = windows_path(docroot)
        endpoints["docroot_unix"] = docroot
        endpoints["nginx_pid"] = str(nginx.pid)
        if args.builtin_port:
            endpoints["builtin"] = "http://127.0.0.1:%d/" % args.builtin_port
        write_endpoints(workdir, endpoints)

        deadline = time.monotonic() + args.lifetime
        while not stop_event.is_set() and time.monotonic() < deadline:
            if nginx.poll() is not None:
                print("nginx ended unexpectedly", flush=True)
                break
            stop_event.wait(0.5)
    finally:
        try:
            os.remove(os.path.join(workdir, ENDPOINTS))
        except OSError:
            pass
        if fault is not None:
            fault.shutdown()
            fault.server_close()
        if refuser is not None:
            refuser.close()
        if nginx is not None:
            stop_process(nginx)
        untrust_ca(workdir)
        try:
            os.remove(os.path.join(workdir, PID_FILE))
        except OSError:
            pass
    return 0


def process_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


def process_cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode("utf-8", "replace")
    except OSError:
        return ""


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def stop(args):
    workdir = os.path.abspath(args.dir)
    pid = read_pid(os.path.join(workdir, PID_FILE))
    # Only a process that is still our server, never a recycled id.
    if pid and process_alive(pid) and "testservers.py" in process_cmdline(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 30
        while process_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        if process_alive(pid):
            os.kill(pid, signal.SIGKILL)
    # Leftovers of a server that was killed before it could clean up.
    nginx_pid = read_pid(os.path.join(workdir, "nginx", "nginx.pid"))
    if nginx_pid and process_alive(nginx_pid) and workdir in process_cmdline(nginx_pid):
        os.kill(nginx_pid, signal.SIGTERM)
    untrust_ca(workdir)
    for name in (ENDPOINTS, PID_FILE):
        try:
            os.remove(os.path.join(workdir, name))
        except OSError:
            pass
    return 0


def start(args):
    workdir = os.path.abspath(args.dir)
    os.makedirs(workdir, exist_ok=True)
    stop(args)
    command = [sys.executable, os.path.abspath(__file__), "serve", "--dir", workdir,
               "--lifetime", str(args.lifetime)]
    if args.http_only:
        command.append("--http-only")
    if args.docroot:
        command += ["--docroot", os.path.abspath(args.docroot)]
    if args.builtin_port:
        command += ["--builtin-port", str(args.builtin_port)]
    log_path = os.path.join(workdir, "serve.log")
    with open(log_path, "ab") as log:
        # A session of its own, and no inherited pipes: the caller (ctest)
        # must not wait for the servers to end.
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                start_new_session=True, close_fds=True)
    endpoints = os.path.join(workdir, ENDPOINTS)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        if os.path.exists(endpoints):
            with open(endpoints) as f:
                sys.stdout.write(f.read())
            return 0
        if proc.poll() is not None:
            break
        time.sleep(0.1)
    sys.stderr.write("test servers did not start; log %s:\n" % log_path)
    with open(log_path, errors="replace") as f:
        sys.stderr.write(f.read()[-4000:])
    stop(args)
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=("start", "stop", "serve"))
    parser.add_argument("--dir", required=True, help="working folder (configs, logs, endpoints.txt)")
    parser.add_argument("--docroot", help="serve this folder instead of the generated test files")
    parser.add_argument("--http-only", action="store_true", help="only nginx over plain HTTP")
    parser.add_argument("--builtin-port", type=int, help="also serve plain HTTP on this 127.0.0.1 port")
    parser.add_argument("--lifetime", type=int, default=2400, help="seconds until the servers stop by themselves")
    args = parser.parse_args()
    return {"start": start, "stop": stop, "serve": serve}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
