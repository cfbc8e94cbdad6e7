// The relay's chat page in a real browser (Debian's chromium, driven by playwright-core), in one
// room with a client that speaks the program's own frames over TCP. Run by ctest:
//   node --test chat.test.mjs   with PRYNECHAT_RELAY (the relay executable) and PRYNECHAT_SHOTS
//   (a folder for the screenshots) set.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdirSync } from "node:fs";
import { createServer } from "node:http";
import { connect } from "node:net";
import { tmpdir } from "node:os";
import { join as joinPath } from "node:path";
import { chromium } from "playwright-core";

const relayExecutable = process.env.PRYNECHAT_RELAY;
const shots = process.env.PRYNECHAT_SHOTS || joinPath(tmpdir(), "prynechat-shots");
const waitMilliseconds = 10000;
const missingMark = '#log > .mark[aria-label="ここで発言が抜けています"]';

let relay;
let tcpPort;
let webPort;
let browser;

// Starts the relay on free ports and reads both from its start lines.
function startRelay(ports = { tcp: 0, web: 0 }) {
  return new Promise((resolve, reject) => {
    const child = spawn(relayExecutable, ["--port", String(ports.tcp), "--web",
      `127.0.0.1:${ports.web}`, "--quiet", "--max-per-address", "0", "--max-joins-per-minute", "0"], {
      stdio: ["ignore", "pipe", "inherit"],
    });
    let output = "";
    const timer = setTimeout(() => reject(new Error("no start lines: " + output)), waitMilliseconds);
    child.stdout.on("data", (chunk) => {
      output += chunk.toString("utf8");
      const tcp = output.match(/relaying on \S+:(\d+)\n/);
      const web = output.match(/the chat page for browsers is at http:\/\/127\.0\.0\.1:(\d+)\/\n/);
      if (tcp && web) {
        clearTimeout(timer);
        resolve({ child, tcpPort: Number(tcp[1]), webPort: Number(web[1]) });
      }
    });
    child.on("exit", (code) => reject(new Error("relay ended with " + code + ": " + output)));
  });
}

// A client reduced to the wire: 4-byte big-endian length, then the UTF-8 text.
function tcpClient(port) {
  return new Promise((resolve, reject) => {
    const socket = connect(port, "127.0.0.1");
    const client = {
      received: [],
      send(text) {
        const payload = Buffer.from(text, "utf8");
        const head = Buffer.alloc(4);
        head.writeUInt32BE(payload.length);
        socket.write(Buffer.concat([head, payload]));
      },
      close() {
        socket.destroy();
      },
    };
    let pending = Buffer.alloc(0);
    socket.on("data", (chunk) => {
      pending = Buffer.concat([pending, chunk]);
      while (pending.length >= 4 && pending.length >= 4 + pending.readUInt32BE(0)) {
        const length = pending.readUInt32BE(0);
        client.received.push(pending.subarray(4, 4 + length).toString("utf8"));
        pending = pending.subarray(4 + length);
      }
    });
    socket.on("connect", () => resolve(client));
    socket.on("error", reject);
  });
}

async function waitFor(condition, what) {
  const end = Date.now() + waitMilliseconds;
  while (Date.now() < end) {
    if (await condition()) {
      return;
    }
    await new Promise((done) => setTimeout(done, 20));
  }
  assert.fail("timed out waiting for " + what);
}

async function openPage(options = {}, { clock = false } = {}) {
  // Japanese like the window, so dates read as a Japanese user sees them.
  const context = await browser.newContext({ locale: "ja-JP", ...options });
  const page = await context.newPage();
  if (clock) {
    // Timers that still run as time goes, but that a case can move ahead as a sleep does.
    await page.clock.install();
  }
  // The page's sockets, so that a case can cut one as a network would.
  await page.addInitScript(() => {
    const Native = window.WebSocket;
    window.sockets = [];
    window.WebSocket = function (url) {
      const socket = new Native(url);
      window.sockets.push(socket);
      return socket;
    };
  });
  const dialogs = [];
  page.on("dialog", (dialog) => {
    dialogs.push(dialog.message());
    dialog.dismiss();
  });
  page.dialogs = dialogs;
  await page.goto(`http://127.0.0.1:${webPort}/`);
  return page;
}

async function join(page, handle) {
  await page.fill("#handle", handle);
  await page.press("#handle", "Enter");
  await waitFor(async () => !(await page.isDisabled("#sendButton")), "the page to join");
}

async function say(page, text) {
  await page.fill("#text", text);
  await page.press("#text", "Enter");
}

function logText(page) {
  return page.textContent("#log");
}

before(async () => {
  assert.ok(relayExecutable, "PRYNECHAT_RELAY names the relay executable");
  mkdirSync(shots, { recursive: true });
  ({ child: relay, tcpPort, webPort } = await startRelay());
  // Debian's chromium, never a downloaded one, nothing fetched from outside; playwright gives
  // it a fresh profile (--user-data-dir in a new temporary folder) and removes it afterwards.
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: [
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
    ],
  });
});

after(async () => {
  if (browser) {
    await browser.close();
  }
  if (relay) {
    relay.kill("SIGTERM");
  }
});

test("two pages and a TCP client chat in one order, the later page from history on", async () => {
  const client = await tcpClient(tcpPort);
  const aki = await openPage();
  const ben = await openPage();
  await join(aki, "Aki");
  await join(ben, "");
  // Each page's login line reaches everyone; an empty handle name became Default.
  await waitFor(() => client.received.length >= 2, "two login lines");
  assert.match(client.received[0], /^\d+@Aki {7}\|ログイン - .+\r\n$/);
  assert.match(client.received[1], /^\d+@Default {3}\|ログイン - .+\r\n$/);
  assert.equal(await aki.inputValue("#handle"), "Aki");
  assert.equal(await ben.inputValue("#handle"), "Default");

  for (let round = 0; round < 5; round++) {
    await say(aki, `aki ${round}`);
    client.send(`51234@Wire      |wire ${round}\r\n`);
    await say(ben, `ben ${round}`);
  }
  const expected = 2 + 15;
  await waitFor(() => client.received.length >= expected, "every text at the TCP client");
  // Ben joined after Aki's login line had gone by: it came from the history, above a mark.
  const order = client.received.join("");
  await waitFor(async () => (await logText(aki)) === order && (await logText(ben)) === order,
    "both pages to show the TCP client's order");
  assert.equal(await ben.getAttribute("#log > .mark", "aria-label"), "以上、参加前の発言");
  assert.equal(client.received.length, expected);
  // The page's own lines come back with its number and padded name.
  const own = client.received.find((text) => text.includes("|aki 3\r\n"));
  assert.match(own, /^\d+@Aki {7}\|aki 3\r\n$/);
  const title = `[Aki:127.0.0.1:${webPort}] - クライアント`;
  assert.equal(await aki.title(), title);
  // Aki's tab hidden (headless tabs never are, so the page is told): what comes meanwhile is
  // counted in the title, until the tab shows again.
  const showTab = (hidden) => aki.evaluate((value) => {
    Object.defineProperty(document, "hidden", { configurable: true, get: () => value });
    document.dispatchEvent(new Event("visibilitychange"));
  }, hidden);
  await showTab(true);
  client.send("51234@Wire      |while hidden 1\r\n");
  client.send("51234@Wire      |while hidden 2\r\n");
  await waitFor(async () => (await aki.title()) === "(2) " + title, "the unread count");
  await showTab(false);
  assert.equal(await aki.title(), title);
  client.close();
  await aki.context().close();
  await ben.context().close();
});

test("markup in a text shows literally and runs nothing", async () => {
  const client = await tcpClient(tcpPort);
  const page = await openPage();
  await join(page, "Aki");
  const hostile = '<img src=x onerror=alert(1)><script>alert(2)</script><b>bold</b>';
  client.send(hostile + "\r\n");
  await say(page, '"><svg onload=alert(3)>');
  await waitFor(async () => (await logText(page)).includes("<svg onload=alert(3)>"),
    "both texts in the log");
  assert.ok((await logText(page)).includes(hostile));
  assert.equal(await page.locator("#log img, #log script, #log b, #log svg").count(), 0);
  // Give an injected handler a moment to fire, then check none did.
  await page.waitForTimeout(300);
  assert.deepEqual(page.dialogs, []);
  client.close();
  await page.context().close();
});

test("a page from another origin cannot connect", async () => {
  const client = await tcpClient(tcpPort);
  // Another web site a colleague has open, trying to post into the chat through their browser.
  const site = createServer((request, response) => {
    response.writeHead(200, { "Content-Type": "text/html" });
    response.end(`<!DOCTYPE html><title>elsewhere</title><script>
      window.outcome = "pending";
      const socket = new WebSocket("ws://127.0.0.1:${webPort}/chat");
      socket.onopen = () => { window.outcome = "open"; socket.send("1@evil      |posted\\r\\n"); };
      socket.onclose = () => { if (window.outcome === "pending") window.outcome = "refused"; };
    </script>`);
  });
  await new Promise((done) => site.listen(0, "127.0.0.1", done));
  const context = await browser.newContext();
  // Closed whatever the outcome: a server left listening would keep the test runner alive.
  try {
    const page = await context.newPage();
    await page.goto(`http://127.0.0.1:${site.address().port}/`);
    await waitFor(async () => (await page.evaluate(() => window.outcome)) !== "pending",
      "the foreign page's socket to end");
    assert.equal(await page.evaluate(() => window.outcome), "refused");
    await page.waitForTimeout(200);
    // A page closed by the test before may still be relaying its logout line: only the
    // foreign page's text must not have come.
    assert.deepEqual(client.received.filter((text) => text.includes("posted")), []);
  } finally {
    await context.close();
    site.close();
    client.close();
  }
});

test("closing a page sends its logout line to the others", async () => {
  const client = await tcpClient(tcpPort);
  const page = await openPage();
  await join(page, "Ben");
  // Found by their words: a page of an earlier case may still be saying goodbye.
  const came = (line) => client.received.some((text) => line.test(text));
  await waitFor(() => came(/^\d+@Ben {7}\|ログイン - .+\r\n$/), "the login line");
  await page.close();
  await waitFor(() => came(/^\d+@Ben {7}\|ログアウト - .+\r\n$/), "the logout line");
  client.close();
});

test("leaving waits for its own logout line, and history comes back with Up and Down",
  async () => {
    const client = await tcpClient(tcpPort);
    const page = await openPage();
    await join(page, "Aki");
    await say(page, "first");
    await say(page, "second");
    await say(page, "second");
    await page.press("#text", "ArrowUp");
    assert.equal(await page.inputValue("#text"), "second");
    await page.press("#text", "ArrowUp");
    assert.equal(await page.inputValue("#text"), "first");
    await page.press("#text", "ArrowUp");
    assert.equal(await page.inputValue("#text"), "first");
    await page.press("#text", "ArrowDown");
    assert.equal(await page.inputValue("#text"), "second");
    await page.press("#text", "ArrowDown");
    assert.equal(await page.inputValue("#text"), "");
    await page.click("#leaveButton");
    await waitFor(async () => (await page.textContent("#notice")) === "退出しました。",
      "the page to have left");
    // It left only once its logout line had come back (its socket closes as it leaves).
    await waitFor(async () => /\|ログアウト - [^\r]+\r\n$/.test(await logText(page)), "the line");
    assert.match(client.received.at(-1), /^\d+@Aki {7}\|ログアウト - .+\r\n$/);
    assert.equal(await page.isDisabled("#joinButton"), false);
    client.close();
    await page.context().close();
  });

test("the page fits a 360 px phone and a desktop", async () => {
  const client = await tcpClient(tcpPort);
  for (const [name, viewport] of [["phone-360", { width: 360, height: 740 }],
    ["desktop-1280", { width: 1280, height: 800 }]]) {
    const page = await openPage({ viewport, deviceScaleFactor: 1 });
    await join(page, "Aki");
    client.send("51234@Wire      |こんにちは、ブラウザから参加できます。とても長い一行がどう折り返されるかも見ます。\r\n");
    await say(page, "はい、見えています");
    await waitFor(async () => (await logText(page)).includes("はい、見えています"), "the reply");
    // Nothing sticks out sideways, and every control is on the screen.
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    assert.ok(width <= viewport.width, `${name}: ${width} px wide`);
    for (const control of ["#handle", "#joinButton", "#log", "#text", "#sendButton", "#leaveButton"]) {
      const box = await page.locator(control).boundingBox();
      assert.ok(box && box.x >= 0 && box.x + box.width <= viewport.width
        && box.y + box.height <= viewport.height, `${name}: ${control} on screen`);
    }
    await page.screenshot({ path: joinPath(shots, `page-${name}.png`) });
    await page.context().close();
  }
  client.close();
});

test("a text ending in a right-to-left override cannot reorder the next, and copy is exact",
  async () => {
    const client = await tcpClient(tcpPort);
    const page = await openPage();
    await join(page, "Aki");
    // Enough lines for the log to hold more than one block of texts.
    Array.from({ length: 60 }, (_, number) => client.send(`51234@Wire      |line ${number}\r\n`));
    client.send("abc\u202E");
    client.send("pay 5678\r\n");
    await waitFor(async () => (await logText(page)).endsWith("pay 5678\r\n"), "both texts");
    // Where the 5 and the 8 of the second text are drawn: left to right, as written.
    const [five, eight] = await page.evaluate(() => [4, 7].map((offset) => {
      const range = document.createRange();
      range.setStart(Array.from(document.querySelectorAll("#log span")).at(-1).firstChild, offset);
      range.setEnd(range.startContainer, offset + 1);
      return range.getBoundingClientRect().left;
    }));
    assert.ok(five < eight, `5 at ${five}, 8 at ${eight}`);
    const copied = await page.evaluate(() => {
      window.getSelection().selectAllChildren(document.getElementById("log"));
      return window.getSelection().toString();
    });
    // All of it, but the last line end, which a selection never ends on.
    assert.equal(copied, (await logText(page)).slice(0, -2));
    client.close();
    await page.context().close();
  });

test("4 MB arriving at once: the newest text and a typed line show within seconds",
  async (t) => {
    const client = await tcpClient(tcpPort);
    const page = await openPage();
    await join(page, "Aki");
    // The typed line may go through the relay before the flood or in its middle. Only short
    // lines are read: reading the 4 MB at every poll would slow the page being measured.
    const endsWith = (ending) => page.evaluate((wanted) => Array.from(
      document.querySelectorAll("#log span")).slice(-250)
      .some((line) => line.firstChild && line.firstChild.length < 100
        && line.textContent.endsWith(wanted)), ending);
    // 200 texts of 20,000 characters, as much as the log keeps, in a few writes; twice, so
    // that the second lands on a full log.
    const body = "lorem ipsum dolor sit amet ".repeat(740);
    for (const round of ["empty", "full"]) {
      const started = Date.now();
      Array.from({ length: 200 }, (_, number) => client.send(`51234@Wire |${number}${body}\r\n`));
      client.send(`51234@Wire      |marker ${round}\r\n`);
      await say(page, `typed ${round}`);
      await waitFor(() => endsWith(`|marker ${round}\r\n`), "the marker");
      const marker = Date.now() - started;
      await waitFor(() => endsWith(`|typed ${round}\r\n`), "the typed line");
      const typed = Date.now() - started;
      t.diagnostic(`${round} log: marker shown after ${marker} ms, typed line after ${typed} ms`);
      // The log still follows its end, though blocks off screen are laid out only when near.
      await waitFor(() => page.evaluate(() => {
        const log = document.getElementById("log");
        return log.scrollHeight - log.scrollTop - log.clientHeight < 4;
      }), "the log at its end");
    }
    await page.screenshot({ path: joinPath(shots, "page-full-log.png") });
    const kept = await page.evaluate(() => document.getElementById("log").textContent.length);
    assert.ok(kept <= 4000000, `${kept} characters kept`);
    client.close();
    await page.context().close();
  });

test("a page cut off comes back with what it missed; after a relay restart, with a mark",
  async () => {
    let client = await tcpClient(tcpPort);
    // Lines of pages from earlier cases may still come by (a closed page's logout line).
    const logins = () => client.received.filter(
      (text) => /^\d+@Aki {7}\|ログイン - .+\r\n$/.test(text));
    const page = await openPage({}, { clock: true });
    await join(page, "Aki");
    await waitFor(() => logins().length >= 1, "the login line");
    await page.fill("#text", "half typed");
    await page.evaluate(() => window.sockets.at(-1).close());
    client.send("51234@Wire      |while away\r\n");
    await waitFor(async () => (await page.textContent("#notice")) === "再接続しました。"
      && (await logText(page)).includes("|while away\r\n"), "the page back, the missed line");
    // Back as a window comes back: the same name, a login line; the draft is still there.
    await waitFor(() => logins().length >= 2, "the second login line");
    assert.equal(await page.inputValue("#text"), "half typed");
    assert.equal(await page.locator(missingMark).count(), 0);

    relay.kill("SIGTERM");
    await waitFor(async () => /^切断されました。\d+ 秒後に再接続します。$/.test(
      await page.textContent("#notice")), "the page to notice");
    ({ child: relay } = await startRelay({ tcp: tcpPort, web: webPort }));
    // The network is back: the page retries at once rather than at its next backoff step, which
    // on a loaded machine may lie past the wait.
    await page.evaluate(() => window.dispatchEvent(new Event("online")));
    await waitFor(async () => (await page.locator(missingMark).count()) === 1, "the mark");
    client = await tcpClient(tcpPort);
    client.send("51234@Wire      |back again\r\n");
    await waitFor(async () => (await logText(page)).endsWith("|back again\r\n"), "a new line");

    // A laptop's sleep past the relay's 90 s for a silent page: its socket still looks open, yet
    // it is taken as lost, and the page comes back by itself.
    const sockets = await page.evaluate(() => window.sockets.length);
    await page.clock.fastForward(95000);
    await waitFor(async () => (await page.evaluate(() => window.sockets.length)) > sockets
      && (await page.textContent("#notice")) === "再接続しました。", "the page back after a sleep");
    client.close();
    await page.context().close();
  });
