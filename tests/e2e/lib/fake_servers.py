#!/usr/bin/env python3
"""The outside world of the launcher on one HTTPS port: Google's sign-in endpoints and the
ORVO update server, told apart by the Host header (and the TLS server name).

Usage: fake_servers.py STATE_DIR CERT KEY [PORT]

STATE_DIR/control.json is read again on every request, so a test switches behaviour by
rewriting it. Every request is appended to STATE_DIR/requests.jsonl. Members of control.json:
  client_id, client_secret        the OAuth client the launcher must present
  user_name, user_email           what userinfo answers
  deny                            true: the authorization page answers error=access_denied
  forge_state                     true: the authorization page answers with another state
  token_status                    status forced on the code exchange (0: normal)
  refresh_status                  status forced on the refresh grant (0: normal)
  refresh_delay                   seconds the refresh grant takes to answer
  known_refresh_tokens            refresh tokens the token endpoint accepts
  manifest                        the manifest object answered at /manifest (null: 404)
  manifest_status                 status forced on the manifest (0: normal)
  manifest_delay, verify_delay    seconds the manifest and the verification take to answer
  genuine                         digests the verify endpoint calls genuine
  package_dir                     folder the packages are served from (/packages/NAME)
  package_rate                    bytes per second for package bodies (0: unthrottled)
  package_status                  status forced on packages (0: normal)
  package_chunked                 true: packages go out chunked, their length not declared
  offline                         true: TLS handshakes for updates/packages hosts are refused
  host_certs                      host name -> "untrusted" (self-signed) or "wrong_name" (the
                                  test CA's, for another host): what that host presents
  hold_refresh, hold_manifest,    while true, the refresh grant, the manifest, the verification
  hold_verify, hold_package       and the second half of a package wait, so a test sees a passing
                                  state; STATE_DIR/holding/NAME exists while NAME holds an answer.
                                  A hold ends by itself well inside the launcher's read time-out
                                  for that answer (HOLD_LIMITS; noted in STATE_DIR/holds.log), so
                                  a slow test never turns into a launcher that gave up
  stall_manifest, stall_package   while true, the manifest is never answered and a package stops
                                  after its first half; the server then waits for the launcher
                                  to close the connection and logs when it did (method CLOSED)
"""
import base64
import hashlib
import http.server
import json
import os
import secrets
import select
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

STATE = sys.argv[1]
CERT, KEY = sys.argv[2], sys.argv[3]
PORT = int(sys.argv[4]) if len(sys.argv) > 4 else 443
LOCK = threading.Lock()
CODES = {}  # code -> (challenge, redirect_uri, client_id)
ACCESS = {}  # access token -> True
UPDATE_HOSTS = ("updates.orvo.test", "packages.orvo.test")


def control():
    try:
        with open(os.path.join(STATE, "control.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


# Seconds a hold lasts at most, against the launcher's read time-outs: the token worker 300 s,
# the manifest 30 s, the verification 15 s, a package 120 s.
HOLD_LIMITS = {"hold_refresh": 120, "hold_manifest": 20, "hold_verify": 8, "hold_package": 60}


def hold(name):
    if not control().get(name):
        return
    marker = os.path.join(STATE, "holding", name)
    os.makedirs(os.path.dirname(marker), exist_ok=True)
    open(marker, "w").close()
    start = time.time()
    while control().get(name) and time.time() < start + HOLD_LIMITS[name]:
        time.sleep(0.1)
    try:
        os.remove(marker)
    except FileNotFoundError:  # a second request held at the same time ended first
        pass
    with LOCK:
        with open(os.path.join(STATE, "holds.log"), "a") as f:
            how = "released" if not control().get(name) else "ended by itself"
            f.write("%s %s after %.1f s\n" % (name, how, time.time() - start))


def log(entry):
    with LOCK:
        with open(os.path.join(STATE, "requests.jsonl"), "a") as f:
            f.write(json.dumps(entry) + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, status, body, content_type="application/json", headers=None):
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def read_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n else b""

    def entry(self, body=b""):
        url = urllib.parse.urlsplit(self.path)
        return {
            "time": time.time(),
            "host": (self.headers.get("Host") or "").split(":")[0],
            "method": self.command,
            "path": url.path,
            "query": url.query,
            "content_type": self.headers.get("Content-Type", ""),
            "authorization": self.headers.get("Authorization", ""),
            "body": body.decode("utf-8", "replace")[:2000],
        }

    def do_GET(self):
        e = self.entry()
        log(e)
        self.route(e, b"")

    def do_POST(self):
        body = self.read_body()
        e = self.entry(body)
        log(e)
        self.route(e, body)

    def route(self, e, body):
        c = control()
        host, path = e["host"], e["path"]
        if host == "accounts.google.com" and path == "/o/oauth2/v2/auth":
            return self.authorize(c, e)
        if host == "oauth2.googleapis.com" and path == "/token" and e["method"] == "POST":
            return self.token(c, body)
        if host == "openidconnect.googleapis.com" and path == "/v1/userinfo":
            return self.userinfo(c, e)
        if host == "updates.orvo.test" and path == "/manifest":
            if c.get("stall_manifest"):
                return self.stall(e)
            time.sleep(c.get("manifest_delay", 0))
            hold("hold_manifest")
            c = control()
            if c.get("manifest_status"):
                return self.send(c["manifest_status"], {"error": "forced"})
            if c.get("manifest") is None:
                return self.send(404, {"error": "no manifest"})
            return self.send(200, c["manifest"])
        if host == "updates.orvo.test" and path == "/v1/artifacts/verify" and e["method"] == "POST":
            time.sleep(c.get("verify_delay", 0))
            hold("hold_verify")
            c = control()
            try:
                digest = json.loads(body).get("sha256", "")
            except ValueError:
                return self.send(400, {"error": "bad json"})
            return self.send(200, {"genuine": digest in c.get("genuine", [])})
        if host in UPDATE_HOSTS and path.startswith("/packages/"):
            return self.package(c, path[len("/packages/"):], e)
        return self.send(404, {"error": "not found"})

    def stall(self, e):
        """Sends nothing more and waits, without a limit of its own, for the client to close."""
        while True:
            readable, _, _ = select.select([self.connection], [], [], 1.0)
            if not readable:
                continue
            try:
                if not self.connection.recv(1):
                    break
            except ssl.SSLWantReadError:
                continue
            except (OSError, ssl.SSLError):
                break
        log(dict(e, time=time.time(), method="CLOSED"))
        self.close_connection = True

    def authorize(self, c, e):
        q = dict(urllib.parse.parse_qsl(e["query"], keep_blank_values=True))
        problems = []
        if q.get("client_id") != c.get("client_id"):
            problems.append("client_id")
        if q.get("response_type") != "code":
            problems.append("response_type")
        if q.get("scope") != "openid email profile":
            problems.append("scope")
        if q.get("code_challenge_method") != "S256" or len(q.get("code_challenge", "")) != 43:
            problems.append("code_challenge")
        if q.get("access_type") != "offline":
            problems.append("access_type")
        redirect = q.get("redirect_uri", "")
        if not redirect.startswith("http://127.0.0.1:") or redirect.endswith("/"):
            problems.append("redirect_uri")
        if problems:
            return self.send(400, {"error": "invalid_request", "bad": problems})
        code = "code-" + secrets.token_urlsafe(12)
        with LOCK:
            CODES[code] = (q["code_challenge"], redirect, q["client_id"])
        state = "forged-state" if c.get("forge_state") else q.get("state", "")
        answer = {"state": state, "error": "access_denied"} if c.get("deny") else {"state": state, "code": code}
        target = redirect + "/?" + urllib.parse.urlencode(answer)
        self.send(302, "", "text/plain", {"Location": target})

    def token(self, c, body):
        form = dict(urllib.parse.parse_qsl(body.decode(), keep_blank_values=True))
        if form.get("client_id") != c.get("client_id") or form.get("client_secret") != c.get("client_secret"):
            return self.send(401, {"error": "invalid_client"})
        grant = form.get("grant_type")
        if grant == "authorization_code":
            if c.get("token_status"):
                return self.send(c["token_status"], {"error": "forced"})
            with LOCK:
                known = CODES.pop(form.get("code", ""), None)
            if not known:
                return self.send(400, {"error": "invalid_grant"})
            challenge, redirect, _ = known
            verifier = form.get("code_verifier", "").encode()
            computed = base64.urlsafe_b64encode(hashlib.sha256(verifier).digest()).rstrip(b"=").decode()
            if computed != challenge or form.get("redirect_uri") != redirect:
                return self.send(400, {"error": "invalid_grant", "detail": "pkce or redirect"})
            refresh = "refresh-" + secrets.token_urlsafe(16)
            self.remember_refresh(refresh)
            return self.send(200, {"access_token": self.new_access(), "refresh_token": refresh,
                                   "token_type": "Bearer", "expires_in": 3599})
        if grant == "refresh_token":
            time.sleep(c.get("refresh_delay", 0))
            hold("hold_refresh")
            c = control()
            if c.get("refresh_status"):
                return self.send(c["refresh_status"], {"error": "invalid_grant"})
            if form.get("refresh_token") not in c.get("known_refresh_tokens", []) + self.refresh_tokens():
                return self.send(400, {"error": "invalid_grant"})
            return self.send(200, {"access_token": self.new_access(), "token_type": "Bearer",
                                   "refresh_token": "ignored-new-token"})
        return self.send(400, {"error": "unsupported_grant_type"})

    def refresh_tokens(self):
        try:
            with open(os.path.join(STATE, "issued_refresh_tokens")) as f:
                return f.read().split()
        except OSError:
            return []

    def remember_refresh(self, token):
        with LOCK:
            with open(os.path.join(STATE, "issued_refresh_tokens"), "a") as f:
                f.write(token + "\n")

    def new_access(self):
        token = "access-" + secrets.token_urlsafe(16)
        with LOCK:
            ACCESS[token] = True
        return token

    def userinfo(self, c, e):
        auth = e["authorization"]
        if not auth.startswith("Bearer ") or auth[7:] not in ACCESS:
            return self.send(401, {"error": "invalid_token"})
        return self.send(200, {"name": c.get("user_name", ""), "email": c.get("user_email", "")})

    def package(self, c, name, e):
        if c.get("package_status"):
            return self.send(c["package_status"], "forced failure\n", "text/plain")
        folder = c.get("package_dir", "")
        path = os.path.join(folder, os.path.basename(name))
        if not folder or not os.path.isfile(path):
            return self.send(404, "no such package\n", "text/plain")
        size = os.path.getsize(path)
        chunked = bool(c.get("package_chunked"))
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(size))
        self.send_header("Connection", "close")
        self.end_headers()
        rate = c.get("package_rate", 0)
        chunk = 16384
        sent = 0
        held = False
        try:
            with open(path, "rb") as f:
                while True:
                    if not held and sent >= size // 2:
                        held = True
                        hold("hold_package")
                        if control().get("stall_package"):
                            self.wfile.flush()
                            return self.stall(e)
                    data = f.read(chunk)
                    if not data:
                        break
                    sent += len(data)
                    if chunked:
                        data = b"%x\r\n" % len(data) + data + b"\r\n"
                    self.wfile.write(data)
                    self.wfile.flush()
                    if rate:
                        time.sleep(len(data) / rate)
                if chunked:
                    self.wfile.write(b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass
        self.close_connection = True


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def get_request(self):
        sock, addr = self.socket.accept()
        return sock, addr

    def finish_request(self, request, client_address):
        # TLS per connection, in the worker thread, so one slow handshake blocks nobody.
        try:
            tls = CONTEXT.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            request.close()
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass


def sni(sock, server_name, context):
    c = control()
    if server_name in UPDATE_HOSTS and c.get("offline"):
        return ssl.ALERT_DESCRIPTION_UNRECOGNIZED_NAME
    kind = (c.get("host_certs") or {}).get(server_name)
    if kind in OTHER_CONTEXTS:
        sock.context = OTHER_CONTEXTS[kind]
        with LOCK:
            with open(os.path.join(STATE, "tls.log"), "a") as f:
                f.write("%s %s\n" % (server_name, kind))
    return None


def context_for(cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    return ctx


CONTEXT = context_for(CERT, KEY)
CONTEXT.sni_callback = sni
PKI = os.path.dirname(CERT)
OTHER_CONTEXTS = {}
for name, files in (("untrusted", ("untrusted.pem", "untrusted.key")), ("wrong_name", ("wrongname.pem", "wrongname.key"))):
    if os.path.exists(os.path.join(PKI, files[0])):
        OTHER_CONTEXTS[name] = context_for(os.path.join(PKI, files[0]), os.path.join(PKI, files[1]))


def main():
    server = Server(("127.0.0.1", PORT), Handler)
    with open(os.path.join(STATE, "ready"), "w") as f:
        f.write(str(os.getpid()))
    server.serve_forever()


if __name__ == "__main__":
    main()
