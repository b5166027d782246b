#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Headless Chromium driven over its DevTools pipe as a person uses the site: no script of the
page's own runs what is clicked. Prints what it saw.

  chromium.py report SITE-URL PROFILE-DIR
    opens the result page of 13800138000, chooses 诈骗电话 and a comment in the report form and
    presses its button; prints as JSON the 诈骗电话 count before and after, the address landed on
    and the newest comment's HTML.
  chromium.py upload SITE-URL FILE DOWNLOAD-DIR PROFILE-DIR
    chooses FILE in the home page's file field, clicks the form's button with the mouse and waits
    for the download; prints the downloaded file's name.
"""
import json
import os
import subprocess
import sys
import time


class Chromium:
    def __init__(self, profile):
        to_chromium_read, self.to_chromium = os.pipe()
        self.from_chromium, from_chromium_write = os.pipe()
        # Chromium reads commands from descriptor 3 and writes to 4: moved out of the way first.
        child_read, child_write = 100, 101
        os.dup2(to_chromium_read, child_read)
        os.dup2(from_chromium_write, child_write)
        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
            pass_fds=(3, 4, child_read, child_write), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=lambda: (os.dup2(child_read, 3), os.dup2(child_write, 4)))
        for descriptor in (to_chromium_read, from_chromium_write, child_read, child_write):
            os.close(descriptor)
        self.pending, self.events, self.next_id, self.session = b"", [], 0, None
        self.deadline = time.monotonic() + 60

    def receive(self):
        while b"\0" not in self.pending:
            if time.monotonic() > self.deadline:
                sys.exit("Chromium did not answer in time")
            chunk = os.read(self.from_chromium, 65536)
            if not chunk:
                sys.exit("Chromium closed its pipe")
            self.pending += chunk
        message, self.pending = self.pending.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, **params):
        """A command to the browser, or to the page once open() has opened one."""
        self.next_id += 1
        request = {"id": self.next_id, "method": method, "params": params}
        if self.session and not method.startswith(("Browser.", "Target.")):
            request["sessionId"] = self.session
        os.write(self.to_chromium, json.dumps(request).encode() + b"\0")
        while True:
            message = self.receive()
            if message.get("id") == self.next_id:
                if "error" in message:
                    sys.exit(f"{method}: {message['error']}")
                return message["result"]
            self.events.append(message)

    def wait_for(self, method):
        while True:
            for i, event in enumerate(self.events):
                if event.get("method") == method:
                    return self.events.pop(i)["params"]
            self.events.append(self.receive())

    def open(self, url):
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Page.enable")
        self.call("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")

    def value(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def click(self, selector):
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        button = self.call("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        self.call("DOM.scrollIntoViewIfNeeded", nodeId=button)
        quad = self.call("DOM.getBoxModel", nodeId=button)["model"]["content"]
        x, y = (quad[0] + quad[4]) / 2, (quad[1] + quad[5]) / 2
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def close(self):
        self.process.kill()
        self.process.wait()


def report(browser, site):
    count = ("(() => { for (const row of document.querySelectorAll('section.labels th'))"
             " if (row.textContent === '诈骗电话') return row.nextElementSibling.textContent;"
             " return '0'; })()")
    browser.open(site + "/lookup?number=13800138000")
    before = browser.value(count)
    browser.value("document.getElementById('category').value = '诈骗电话';"
                  "document.getElementById('comment').value = '<b>冒充客服</b>'")
    browser.click('form[action="/reports"] button')
    browser.wait_for("Page.loadEventFired")
    print(json.dumps({"before": before, "after": browser.value(count),
                      "url": browser.value("location.href"),
                      "comment": browser.value("document.querySelector('ul.comments li')?.innerHTML")},
                     ensure_ascii=False))


def upload(browser, site, upload, downloads):
    browser.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=downloads,
                 eventsEnabled=True)
    browser.open(site + "/")
    root = browser.call("DOM.getDocument")["root"]["nodeId"]
    field = browser.call("DOM.querySelector", nodeId=root, selector='input[type="file"]')["nodeId"]
    browser.call("DOM.setFileInputFiles", nodeId=field, files=[os.path.abspath(upload)])
    browser.click('form[enctype="multipart/form-data"] button')
    name = browser.wait_for("Browser.downloadWillBegin")["suggestedFilename"]
    while browser.wait_for("Browser.downloadProgress")["state"] != "completed":
        pass
    print(name)


def main():
    actions = {"report": (report, 2), "upload": (upload, 4)}
    if len(sys.argv) < 2 or sys.argv[1] not in actions or len(sys.argv) != 2 + actions[sys.argv[1]][1]:
        sys.exit(__doc__)
    action, _ = actions[sys.argv[1]]
    *arguments, profile = sys.argv[2:]
    browser = Chromium(profile)
    try:
        action(browser, *arguments)
    finally:
        browser.close()


if __name__ == "__main__":
    main()
