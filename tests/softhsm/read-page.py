#!/usr/bin/env python3
"""Prints the DOM of a page in headless Chromium once the page is done.

    read-page.py CHROMIUM URL READY_EXPRESSION [TIMEOUT_SECONDS]

--dump-dom takes the DOM at the load event, before a page's WebSocket has
answered. This opens the page, asks it through the DevTools protocol until
READY_EXPRESSION is true, and then prints document.documentElement.outerHTML.
Standard library only.
"""
import base64, json, os, shutil, socket, struct, subprocess, sys, tempfile, time, urllib.request


def ws_connect(url):
    rest = url[len("ws://"):]
    hostport, path = rest.split("/", 1)
    host, port = hostport.split(":")
    sock = socket.create_connection((host, int(port)), timeout=10)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = sock.recv(4096)
        if not chunk:
            raise RuntimeError("DevTools closed during the handshake")
        head += chunk
    if b" 101 " not in head.split(b"\r\n", 1)[0]:
        raise RuntimeError("DevTools refused the WebSocket: " + head.decode(errors="replace"))
    return sock, head.split(b"\r\n\r\n", 1)[1]


class DevTools:
    def __init__(self, url):
        self.sock, self.buf = ws_connect(url)
        self.next_id = 0

    def _need(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("DevTools connection closed")
            self.buf += chunk

    def _frame(self):
        self._need(2)
        length, offset = self.buf[1] & 0x7F, 2
        if length == 126:
            self._need(4)
            length, offset = struct.unpack(">H", self.buf[2:4])[0], 4
        elif length == 127:
            self._need(10)
            length, offset = struct.unpack(">Q", self.buf[2:10])[0], 10
        self._need(offset + length)
        payload, self.buf = self.buf[offset:offset + length], self.buf[offset + length:]
        return payload

    def evaluate(self, expression):
        self.next_id += 1
        message = json.dumps({"id": self.next_id, "method": "Runtime.evaluate",
                              "params": {"expression": expression, "returnByValue": True}}).encode()
        mask = os.urandom(4)
        header = bytes([0x81])
        if len(message) < 126:
            header += bytes([0x80 | len(message)])
        elif len(message) < 65536:
            header += bytes([0xFE]) + struct.pack(">H", len(message))
        else:
            header += bytes([0xFF]) + struct.pack(">Q", len(message))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(message)))
        while True:
            answer = json.loads(self._frame())
            if answer.get("id") == self.next_id:
                return answer.get("result", {}).get("result", {}).get("value")


def main():
    chromium, url, ready = sys.argv[1:4]
    timeout = float(sys.argv[4]) if len(sys.argv) > 4 else 30
    profile = tempfile.mkdtemp(prefix="corvane-chromium-")
    browser = subprocess.Popen(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile, "--remote-debugging-address=127.0.0.1",
         "--remote-debugging-port=0", url],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + timeout
        port_file = os.path.join(profile, "DevToolsActivePort")
        while not os.path.exists(port_file) or not open(port_file).read().strip():
            if time.monotonic() > deadline or browser.poll() is not None:
                raise RuntimeError("Chromium did not open its DevTools port")
            time.sleep(0.1)
        port = open(port_file).read().split()[0]
        pages = []
        while not pages:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as response:
                pages = [p for p in json.load(response) if p.get("type") == "page"]
            time.sleep(0.1)
        tools = DevTools(pages[0]["webSocketDebuggerUrl"])
        while not tools.evaluate(ready):
            if time.monotonic() > deadline:
                sys.stdout.write(tools.evaluate("document.documentElement.outerHTML") or "")
                raise RuntimeError("the page did not get ready: " + ready)
            time.sleep(0.2)
        sys.stdout.write(tools.evaluate("document.documentElement.outerHTML"))
    finally:
        browser.terminate()
        try:
            browser.wait(10)
        except subprocess.TimeoutExpired:
            browser.kill()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as error:
        print(f"read-page: {error}", file=sys.stderr)
        sys.exit(1)
