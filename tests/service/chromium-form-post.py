#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Headless Chromium, driven over its DevTools protocol (a WebSocket, spoken here with the
standard library), opens the result page of 13800138000, chooses 诈骗电话 and a comment in the
report form and presses its button, as a person would; prints what the page then shows as JSON:
the 诈骗电话 count before and after, the address landed on and the newest comment's HTML.
Usage: chromium-form-post.py SITE-URL PROFILE-DIR"""
import base64, json, os, socket, struct, subprocess, sys, tempfile, time, urllib.request

site, profile = sys.argv[1], sys.argv[2]

def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close(); return port

port = free_port()
chrome = subprocess.Popen(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    f"--user-data-dir={profile}", f"--remote-debugging-port={port}", "about:blank"],
    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    for _ in range(100):
        try:
            targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list"))
            page = next(t for t in targets if t["type"] == "page")
            break
        except Exception:
            time.sleep(0.1)
    url = page["webSocketDebuggerUrl"]
    path = url.split(str(port), 1)[1]
    sock = socket.create_connection(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += sock.recv(1)
    buffered = b""

    def read(n):
        global buffered
        while len(buffered) < n:
            chunk = sock.recv(65536)
            if not chunk:
                raise EOFError
            buffered += chunk
        out, buffered = buffered[:n], buffered[n:]
        return out

    def receive():
        message = b""
        while True:
            b0, b1 = read(2)
            length = b1 & 127
            if length == 126:
                length = struct.unpack(">H", read(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", read(8))[0]
            message += read(length)
            if b0 & 0x80:
                return json.loads(message)

    ids = [0]
    def call(method, **params):
        ids[0] += 1
        data = json.dumps({"id": ids[0], "method": method, "params": params}).encode()
        mask = os.urandom(4)
        header = bytes([0x81]) + (bytes([0x80 | len(data)]) if len(data) < 126 else bytes([0x80 | 126]) + struct.pack(">H", len(data)))
        sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))
        while True:
            reply = receive()
            if reply.get("id") == ids[0]:
                return reply.get("result", {})

    def text(expression):
        return call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def load(address):
        call("Page.navigate", url=address)
        for _ in range(100):
            time.sleep(0.1)
            if text("document.readyState") == "complete" and text("location.href") == address:
                return

    def count():
        return text("(() => { for (const row of document.querySelectorAll('section.labels th'))"
                    " if (row.textContent === '诈骗电话') return row.nextElementSibling.textContent;"
                    " return '0'; })()")

    page_url = site + "/lookup?number=13800138000"
    load(page_url)
    before = count()
    # Chooses the category and the comment as a person would, then presses the button.
    text("document.getElementById('category').value = '诈骗电话';"
         "document.getElementById('comment').value = '<b>冒充客服</b>';"
         "document.querySelector('form[action=\"/reports\"] button').click()")
    for _ in range(100):
        time.sleep(0.1)
        if text("document.readyState") == "complete" and count() != before:
            break
    print(json.dumps({"before": before, "after": count(), "url": text("location.href"),
                      "comment": text("document.querySelector('ul.comments li') && document.querySelector('ul.comments li').innerHTML")},
                     ensure_ascii=False))
finally:
    chrome.terminate()
    chrome.wait()
