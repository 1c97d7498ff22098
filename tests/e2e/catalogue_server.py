"""A small catalogue server for the tests: it answers the catalogue request in
the way the test asks for (its `mode`) and records every request it gets.
Runs on loopback only; plain HTTP, or HTTPS with a test authority made by openssl."""
import argparse
import http.server
import os
import re
import socket
import ssl
import subprocess
import threading
import time

CATALOGUE = ('{"voices":[' + ",".join('{"id":%d,"name":"Voz n\\u00famero %d","lang":"es-ES","desc":"Señal clara"}' % (i, i)
                                     for i in range(12)) + "]}").encode("utf-8")
PATH = "/zunmytts/php/androidvoicedownl_server_new.php"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _record(self):
        # A redirected GET may carry the POST's Content-Length with no body (Wine does): never wait for one.
        length = int(self.headers.get("Content-Length") or 0) if self.command == "POST" else 0
        body = self.rfile.read(length) if length else b""
        self.server.owner.requests.append(
            {"method": self.command, "path": self.path, "headers": dict(self.headers.items()), "body": body})

    def do_GET(self):
        if self.path == "/ca.crl" and self.server.owner.crl is not None:
            # The test authority's revocation list, fetched by Windows from a certificate's distribution point.
            self.server.owner.crl_fetches += 1
            self._send(200, self.server.owner.crl, [("Content-Type", "application/pkix-crl")])
            return
        self._record()
        self.close_connection = True
        self._answer("ok" if self.path == "/moved" else self.server.owner.mode)

    def do_POST(self):
        self._record()
        self._answer("ok" if self.path == "/moved" else self.server.owner.mode)

    def _send_chunks(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for i in range(0, len(body), 100):
            piece = body[i:i + 100]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.flush()

    def _send(self, status, body, headers=(), length=True):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _stall(self):
        """Holds the connection, sending nothing more, until the test lets go (two minutes at most)."""
        self.server.owner.release.wait(120)
        self.close_connection = True

    def _answer(self, mode):
        owner = self.server.owner
        json_headers = [("Content-Type", "application/json; charset=utf-8"),
                        ("Content-Disposition", 'attachment; filename="voices.json"')]
        if mode == "ok":
            self._send(200, owner.body, json_headers)
        elif mode == "empty":
            self._send(200, b"", json_headers)
        elif mode == "no-content":
            self._send(204, b"", length=False)
        elif mode == "longer":
            # The catalogue announced, 5000 bytes more sent in the same write, then the connection closed.
            self._send(200, owner.body + b"x" * 5000, [("Content-Length", str(len(owner.body)))], length=False)
            self.close_connection = True
        elif mode == "two-lengths":
            self._send(200, owner.body, [("Content-Length", str(len(owner.body))),
                                         ("Content-Length", str(len(owner.body) + 10))], length=False)
            self.close_connection = True
        elif mode == "negative-length":
            self._send(200, owner.body, [("Content-Length", "-1")], length=False)
            self.close_connection = True
        elif mode == "garbage":
            # No status line at all: what an HTTP/0.9 server, or something that is no web server, answers.
            self.wfile.write(b"garbage, not HTTP\r\n\r\n" + owner.body)
            self.close_connection = True
        elif mode == "drip":
            # One byte every drip_interval seconds of a 100,000-byte answer, for two minutes at most.
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.flush()
            deadline = time.monotonic() + 120
            try:
                while time.monotonic() < deadline:
                    self.wfile.write(b"{")
                    self.wfile.flush()
                    time.sleep(owner.drip_interval)
            except OSError:
                pass
            self.close_connection = True
        elif mode == "chunked":
            self._send_chunks(owner.body)
            self.wfile.write(b"0\r\n\r\n")
        elif mode == "chunked-cut":
            # Chunks, then the connection closes where the final zero-length chunk belongs.
            self._send_chunks(owner.body)
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        elif mode in ("404", "500"):
            self._send(int(mode), b"<html><body>error</body></html>", [("Content-Type", "text/html")])
        elif mode == "redirect":
            self._send(307, b"", [("Location", "/moved")])
        elif re.fullmatch(r"redirect-30[1238]", mode):
            self._send(int(mode[-3:]), b"", [("Location", "/moved")])
        elif re.fullmatch(r"away-30[1278]", mode):
            # To the away_url: another port of the loopback address, with a user name and password in it.
            self._send(int(mode[-3:]), b"", [("Location", owner.away_url)])
        elif mode == "silent":
            # The request read, nothing ever answered.
            self._stall()
        elif mode == "stall-headers":
            self.wfile.write(b"HTTP/1.1 200 OK\r\n")
            self.wfile.flush()
            self._stall()
        elif mode == "stall-body":
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(owner.body) * 10))
            self.end_headers()
            self.wfile.write(owner.body)
            self.wfile.flush()
            self._stall()
        elif mode in ("length-empty", "length-comma"):
            # Written by hand: send_header would put a blank after the colon.
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length:%s\r\n"
                             b"Connection: close\r\n\r\n" % (b"" if mode == "length-empty" else b" %d," % len(owner.body))
                             + owner.body)
            self.close_connection = True
        elif mode == "to-http":
            self._send(302, b"", [("Location", "http://localhost:%d/moved" % owner.plain_port)])
        elif mode == "cut":
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(owner.body) + 5000))
            self.end_headers()
            self.wfile.write(owner.body)
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        elif mode == "slow":
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(owner.body)))
            self.end_headers()
            step = max(1, len(owner.body) // 4)
            for i in range(0, len(owner.body), step):
                self.wfile.write(owner.body[i:i + step])
                self.wfile.flush()
                time.sleep(0.3)
        elif mode == "large":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(owner.large_size))
            self.end_headers()
            block = bytes(range(256)) * 256
            left = owner.large_size
            while left > 0:
                n = min(left, len(block))
                self.wfile.write(block[:n])
                left -= n
        else:
            self._send(500, b"unknown mode")


class CatalogueServer:
    def __init__(self, port=0, certificate=None, plain_port=0):
        """Port 0: a free port of the system's choosing, so that runs beside each other never meet."""
        self.mode = "ok"
        self.body = CATALOGUE
        self.large_size = 0
        self.drip_interval = 2.0
        self.plain_port = plain_port
        self.away_url = ""
        self.crl = None  # the bytes served at /ca.crl
        self.crl_fetches = 0
        self.release = threading.Event()
        self.requests = []
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.port = self.httpd.server_address[1]
        self.url = ("https" if certificate else "http") + "://localhost:%d%s" % (self.port, PATH)
        self.httpd.daemon_threads = True
        self.httpd.owner = self
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


class SilentServer:
    """Accepts connections on loopback and never sends a byte, nor reads one: a TLS handshake or a request
    sent to it waits for ever. With backlog_full, it never accepts, and fills its queue first, so that a new
    connection's handshake gets no answer at all."""

    def __init__(self, backlog_full=False):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.held = []
        self.release = threading.Event()
        if backlog_full:
            self.socket.listen(0)
            for _ in range(2):
                client = socket.socket()
                client.setblocking(False)
                try:
                    client.connect(("127.0.0.1", self.port))
                except BlockingIOError:
                    pass
                self.held.append(client)
            time.sleep(0.2)
        else:
            self.socket.listen(8)
            self.thread = threading.Thread(target=self._accept, daemon=True)
            self.thread.start()

    def url(self, https=False):
        return ("https" if https else "http") + "://localhost:%d%s" % (self.port, PATH)

    def _accept(self):
        while not self.release.is_set():
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.held.append(connection)

    def close(self):
        self.release.set()
        for held in self.held:
            held.close()
        self.socket.close()


def make_test_authority(folder, crl_port=0, offline_port=0):
    """A certificate authority and a certificate for localhost signed by it:
    (ca.pem, ca.der, (server.pem, server.key)). With crl_port, each certificate names
    http://localhost:crl_port/ca.crl as its revocation list, and the folder also holds that list (ca.crl, DER;
    ca.crl.pem), revoked.pem and revoked.key (a certificate for localhost that the list revokes) and, with
    offline_port, offline.pem and offline.key (one whose list is on that port, where nothing answers)."""
    def run(*args):
        subprocess.run(["openssl"] + list(args), check=True, cwd=folder, capture_output=True)

    def issue(name, crl_url):
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
            "-subj", "/CN=localhost")
        with open(os.path.join(folder, name + ".cnf"), "w") as f:
            f.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,"
                    "keyEncipherment\nextendedKeyUsage=serverAuth\n")
            if crl_url:
                f.write("crlDistributionPoints=URI:%s\n" % crl_url)
        run("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", name + ".pem", "-days", "2", "-extfile", name + ".cnf")

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=Pendrel Test Authority", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
    crl_url = "http://localhost:%d/ca.crl" % crl_port if crl_port else ""
    issue("server", crl_url)
    if crl_port:
        issue("revoked", crl_url)
        if offline_port:
            issue("offline", "http://localhost:%d/ca.crl" % offline_port)
        with open(os.path.join(folder, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\ncertificate = ca.pem\n"
                    "private_key = ca.key\ncrlnumber = crlnumber\ndefault_md = sha256\ndefault_crl_days = 2\n")
        open(os.path.join(folder, "index.txt"), "w").close()
        with open(os.path.join(folder, "crlnumber"), "w") as f:
            f.write("01\n")
        run("ca", "-config", "ca.cnf", "-revoke", "revoked.pem")
        run("ca", "-config", "ca.cnf", "-gencrl", "-out", "ca.crl.pem")
        run("crl", "-in", "ca.crl.pem", "-outform", "DER", "-out", "ca.crl")
    return (os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.der"),
            (os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")))


# What each mode answers, for --help.
MODES = {
    "ok": "200 with the test catalogue (the default)",
    "empty": "200 with an empty body",
    "no-content": "204 with no body",
    "longer": "the catalogue with its Content-Length, and 5000 bytes more",
    "two-lengths": "the catalogue under two different Content-Length headers",
    "negative-length": "the catalogue under Content-Length -1",
    "garbage": "no status line, just bytes (as an HTTP/0.9 server answers)",
    "drip": "200 announcing 100,000 bytes, then one byte every 2 seconds",
    "chunked": "200 with the catalogue in chunks of 100 bytes, no Content-Length",
    "404": "404 with a small HTML page",
    "500": "500 with a small HTML page",
    "redirect": "307 to /moved, which answers as ok",
    "redirect-301": "301 to /moved, which answers as ok",
    "redirect-302": "302 to /moved, which answers as ok",
    "redirect-303": "303 to /moved, which answers as ok",
    "redirect-308": "308 to /moved, which answers as ok",
    "away-307": "307 to another port of the loopback address (the away URL; not from the command line)",
    "silent": "reads the request and never answers",
    "stall-headers": "sends the status line, then nothing more",
    "stall-body": "sends the headers and a tenth of the body they announce, then nothing more",
    "length-empty": "the catalogue under \"Content-Length:\" with no value",
    "length-comma": "the catalogue under \"Content-Length: N,\"",
    "to-http": "302 to plain HTTP on the --plain-port",
    "cut": "the catalogue, then the connection closed 5000 bytes short of its Content-Length",
    "slow": "the catalogue in four pieces, 0.3 s apart",
    "large": "--size bytes of a repeated pattern (application/octet-stream)",
}


def parse_size(text):
    """A byte count: digits, optionally followed by K, M or G (powers of 1024)."""
    match = re.fullmatch(r"(\d+)([KMG]?)", text.strip(), re.I)
    if not match:
        raise argparse.ArgumentTypeError("not a size: %r (digits, then K, M or G)" % text)
    return int(match.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[match.group(2).upper()]


if __name__ == "__main__":
    parser = argparse.ArgumentParser(
        description="Serve the test catalogue on loopback (127.0.0.1, plain HTTP) until stopped, at " + PATH + ".",
        epilog="modes:\n" + "\n".join("  %-13s %s" % item for item in MODES.items()),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="the port to listen on (default 0: a free port)")
    parser.add_argument("--mode", default="ok", choices=sorted(MODES), metavar="MODE",
                        help="how to answer every request (see below; default ok)")
    parser.add_argument("--size", type=parse_size, default=64 << 20,
                        help="the answer's size in the large mode, e.g. 1000, 512K, 256M (default 64M)")
    parser.add_argument("--plain-port", type=int, default=0,
                        help="the port the to-http mode redirects to")
    options = parser.parse_args()
    server = CatalogueServer(options.port, plain_port=options.plain_port)
    server.mode = options.mode
    server.large_size = options.size
    print("serving the test catalogue on %s (mode %s)" % (server.url, options.mode), flush=True)
    try:
        server.thread.join()
    except KeyboardInterrupt:
        server.close()
