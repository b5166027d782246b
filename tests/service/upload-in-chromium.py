#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Uploads FILE through the home page's form in headless Chromium, as a person would: the file
chosen in the file field and the button clicked with the mouse (no script runs in the page), and
waits for the download. Driven over Chromium's DevTools pipe. Prints the downloaded file's name.
Usage: upload-in-chromium.py SITE-URL FILE DOWNLOAD-DIR PROFILE-DIR"""
import json
import os
import subprocess
import sys
import time

site, upload, downloads, profile = sys.argv[1:5]
to_chromium_read, to_chromium = os.pipe()
from_chromium, from_chromium_write = os.pipe()
# Chromium reads commands from descriptor 3 and writes to 4: moved out of the way first.
child_read, child_write = 100, 101
os.dup2(to_chromium_read, child_read)
os.dup2(from_chromium_write, child_write)
browser = subprocess.Popen(
    ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
     "--disable-background-networking", "--disable-component-update", "--disable-sync",
     "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
    pass_fds=(3, 4, child_read, child_write), stdin=subprocess.DEVNULL,
    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    preexec_fn=lambda: (os.dup2(child_read, 3), os.dup2(child_write, 4)))
for descriptor in (to_chromium_read, from_chromium_write, child_read, child_write):
    os.close(descriptor)
pending = b""
events = []
next_id = 0
deadline = time.monotonic() + 60


def receive():
    global pending
    while b"\0" not in pending:
        if time.monotonic() > deadline:
            sys.exit("Chromium did not answer in time")
        chunk = os.read(from_chromium, 65536)
        if not chunk:
            sys.exit("Chromium closed its pipe")
        pending += chunk
    message, pending = pending.split(b"\0", 1)
    return json.loads(message)


def call(method, session=None, **params):
    global next_id
    next_id += 1
    request = {"id": next_id, "method": method, "params": params}
    if session:
        request["sessionId"] = session
    os.write(to_chromium, json.dumps(request).encode() + b"\0")
    while True:
        message = receive()
        if message.get("id") == next_id:
            if "error" in message:
                sys.exit(f"{method}: {message['error']}")
            return message["result"]
        events.append(message)


def wait_for(method):
    while True:
        for i, event in enumerate(events):
            if event.get("method") == method:
                return events.pop(i)["params"]
        events.append(receive())


try:
    call("Browser.setDownloadBehavior", behavior="allow", downloadPath=downloads,
         eventsEnabled=True)
    target = call("Target.createTarget", url="about:blank")["targetId"]
    session = call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    call("Page.enable", session)
    call("Page.navigate", session, url=site + "/")
    wait_for("Page.loadEventFired")
    root = call("DOM.getDocument", session)["root"]["nodeId"]
    field = call("DOM.querySelector", session, nodeId=root, selector='input[type="file"]')["nodeId"]
    call("DOM.setFileInputFiles", session, nodeId=field, files=[os.path.abspath(upload)])
    button = call("DOM.querySelector", session, nodeId=root,
                  selector='form[enctype="multipart/form-data"] button')["nodeId"]
    call("DOM.scrollIntoViewIfNeeded", session, nodeId=button)
    quad = call("DOM.getBoxModel", session, nodeId=button)["model"]["content"]
    x, y = (quad[0] + quad[4]) / 2, (quad[1] + quad[5]) / 2
    for kind in ("mousePressed", "mouseReleased"):
        call("Input.dispatchMouseEvent", session, type=kind, x=x, y=y, button="left", clickCount=1)
    name = wait_for("Browser.downloadWillBegin")["suggestedFilename"]
    while wait_for("Browser.downloadProgress")["state"] != "completed":
        pass
    print(name)
finally:
    browser.kill()
    browser.wait()
