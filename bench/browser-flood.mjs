// A real browser page (Debian's chromium) in a room that one TCP client floods at a given rate with
// 64 KiB texts while reading everything: is the page dropped, and when? Prints one line.
//   node bench/browser-flood.mjs build/prynechat-relay [MB/s, default 10] [seconds, default 10]
// playwright-core comes from tests/web (./scripts/setup.sh installs it there).
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { connect } from "node:net";

const require = createRequire(new URL("../tests/web/", import.meta.url));
const { chromium } = require("playwright-core");
const [relayPath, rateText = "10", secondsText = "10"] = process.argv.slice(2);
const rate = Number(rateText) * 1e6;
const seconds = Number(secondsText);

function startRelay() {
  return new Promise((resolve, reject) => {
    const child = spawn(relayPath, ["--port", "0", "--web", "127.0.0.1:0", "--quiet"], {
      stdio: ["ignore", "pipe", "inherit"],
    });
    let output = "";
    child.stdout.on("data", (chunk) => {
      output += chunk;
      // The relay's own log says when and why it drops a connection.
      if (dropped === null && /dropped: /.test(output) && start) dropped = { at: Date.now() - start, line: output.match(/[^\n]*dropped: [^\n(]*/)[0] };
      const tcp = output.match(/relaying on \S+:(\d+)\n/);
      const web = output.match(/http:\/\/127\.0\.0\.1:(\d+)\/\n/);
      if (tcp && web) resolve({ child, tcp: Number(tcp[1]), web: Number(web[1]) });
    });
    child.on("exit", (code) => reject(new Error("relay ended with " + code)));
  });
}

let dropped = null;
let start = 0;
const relay = await startRelay();
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
const page = await browser.newPage({ viewport: { width: 360, height: 740 } });
await page.goto(`http://127.0.0.1:${relay.web}/`);
await page.fill("#handle", "Phone");
await page.press("#handle", "Enter");
while (await page.isDisabled("#text")) await new Promise((r) => setTimeout(r, 50));

const socket = connect(relay.tcp, "127.0.0.1");
await new Promise((r) => socket.on("connect", r));
console.log(`the flooder is 127.0.0.1:${socket.localPort}`);
socket.on("data", () => {});
socket.on("error", () => {});
const body = Buffer.alloc(4 + 65536, 0x66);
body.writeUInt32BE(65536);
start = Date.now();
let sent = 0;
while (Date.now() - start < seconds * 1000) {
  if (sent < (rate * (Date.now() - start)) / 1000 && socket.writableLength < 1 << 20) {
    socket.write(body);
    sent += body.length;
  } else {
    await new Promise((r) => setTimeout(r, 5));
  }
}
console.log(`browser-flood: ${rateText} MB/s of 64 KiB texts for ${seconds} s, ${(sent / 1e6).toFixed(0)} MB ` +
  `sent: ${dropped === null ? "nobody dropped" : "a connection " + dropped.line.trim() + " after " + (dropped.at / 1000).toFixed(1) + " s"}`);
socket.destroy();
await browser.close();
relay.child.kill();
