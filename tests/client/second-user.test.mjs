// Two accounts on one machine: A's service (root, A's token) on 1237, B's
// ("nobody", another token) on 1238, and Chromium running as B. The client
// must pass over A's service, which refuses B, and read B's certificates.
// Run as root by CTest in a private network namespace.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { X509Certificate } from "node:crypto";
import { chmodSync, copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import http from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";
import { startService as startOne, stopService } from "./service.mjs";

const source = fileURLToPath(new URL("../../", import.meta.url));
const env = (name) => process.env[name] || assert.fail(`${name} is not set (CTest sets it)`);
const chromium = process.env.CORVANE_CHROMIUM || "/usr/bin/chromium";
const work = mkdtempSync(join(tmpdir(), "corvane-users-"));
const services = [];
let server;
let browser;

function account(name) {
  const [uid, gid] = ["-u", "-g"].map((flag) => Number(execFileSync("id", [flag, name], { encoding: "utf8" })));
  return { uid, gid };
}

// A user's home with a token holding the given certificates, the service
// files and its runtime directory, all owned by that user.
function home(name, owner, kinds) {
  const dir = join(work, name);
  execFileSync(join(source, "scripts/provision-demo-token.sh"), [join(dir, "tokens"), `${name} token:${kinds}`],
    { stdio: "ignore" });
  mkdirSync(join(dir, "service"));
  mkdirSync(join(dir, "run"), { mode: 0o700 });
  copyFileSync(env("CORVANE_BINARY"), join(dir, "service/corvane"));
  chmodSync(join(dir, "service/corvane"), 0o755);
  copyFileSync(env("CORVANE_QUINTREL"), join(dir, "service/Quintrel.so"));
  copyFileSync(env("CORVANE_BRIDGE"), join(dir, "service/libKestova.so"));
  execFileSync("chown", ["-R", `${owner.uid}:${owner.gid}`, dir]);
  return dir;
}

async function startService(dir, owner, port) {
  const child = await startOne(join(dir, "service/corvane"), port, {
    stdio: ["ignore", "pipe", "ignore"], uid: owner.uid, gid: owner.gid,
    env: { ...process.env, XDG_RUNTIME_DIR: join(dir, "run"),
      KESTOVA_BRIDGE_MODULE: env("CORVANE_SOFTHSM_MODULE"), SOFTHSM2_CONF: join(dir, "tokens/softhsm2.conf") },
  });
  child.log = "";
  child.stdout.on("data", (chunk) => { child.log += chunk; });
  services.push(child);
  return child;
}

function certificateOf(dir, kind) {
  const certificate = new X509Certificate(readFileSync(join(dir, "tokens/certs", `${kind}.der`)));
  return { commonName: (certificate.subject.match(/^CN=(.*)$/m) || ["", ""])[1], der: certificate.raw.toString("hex") };
}

const byName = (list) => [...list].sort((x, y) => x.commonName.localeCompare(y.commonName));
let a; // A's home directory
let b; // B's
let serviceOfA;
let serviceOfB;

before(async () => {
  assert.equal(process.getuid(), 0, "this test plays two users and must run as root (CI does)");
  chmodSync(work, 0o755);
  const other = account("nobody");
  a = home("a", { uid: 0, gid: 0 }, "alice");
  b = home("b", other, "device,wang");
  serviceOfA = await startService(a, { uid: 0, gid: 0 }, 1237);
  serviceOfB = await startService(b, other, 1238);

  // The demo page and the client as B would have them on disk.
  const site = join(b, "site");
  mkdirSync(join(site, "examples"), { recursive: true });
  mkdirSync(join(site, "clients/js"), { recursive: true });
  copyFileSync(join(source, "examples/demo.html"), join(site, "examples/demo.html"));
  copyFileSync(join(source, "clients/js/corvane.global.js"), join(site, "clients/js/corvane.global.js"));

  server = http.createServer((request, response) => {
    const files = { "/corvane.js": "clients/js/corvane.js", "/quintrel.js": "clients/js/quintrel.js" };
    if (files[request.url]) {
      response.setHeader("Content-Type", "text/javascript");
      response.end(readFileSync(join(source, files[request.url])));
    } else {
      response.setHeader("Content-Type", "text/html");
      response.end(`<!DOCTYPE html><script type="module">
        import * as client from "/corvane.js"; import * as quintrel from "/quintrel.js";
        window.Corvane = { ...client, ...quintrel };</script>`);
    }
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));

  // Chromium as B: its network service opens the sockets, so the service
  // sees B's uid. B's own home and profile, as a real login would have.
  const launcher = join(work, "chromium-as-b");
  writeFileSync(launcher, `#!/bin/sh\nexec setpriv --reuid=${other.uid} --regid=${other.gid} --clear-groups ` +
    `${chromium} "$@"\n`, { mode: 0o755 });
  mkdirSync(join(b, "home"));
  execFileSync("chown", ["-R", `${other.uid}:${other.gid}`, join(b, "home"), site]);
  browser = await puppeteer.launch({
    executablePath: launcher,
    headless: true,
    env: { PATH: process.env.PATH, HOME: join(b, "home"), XDG_RUNTIME_DIR: join(b, "run") },
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", `--user-data-dir=${join(b, "home/profile")}`],
  });
});

after(async () => {
  await browser?.close();
  server?.close();
  for (const child of services) await stopService(child);
  if (!process.env.CORVANE_TEST_KEEP_DIRS) rmSync(work, { recursive: true, force: true });
});

test("the client in B's browser passes over A's service and reads B's certificates", async () => {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  await page.waitForFunction(() => window.Corvane);
  const read = await page.evaluate(async () => {
    const started = performance.now();
    const connection = await Corvane.connect();
    const found = performance.now() - started;
    const hex = (bytes) => Array.from(bytes, (x) => x.toString(16).padStart(2, "0")).join("");
    const certificates = (await Corvane.readCertificates(connection))
      .map((c) => ({ commonName: c.commonName, der: hex(c.certificate) }));
    connection.close();
    return { url: connection.url, found, certificates };
  });
  console.log(`# found ${read.url} in ${read.found.toFixed(0)} ms`);
  assert.equal(read.url, "ws://127.0.0.1:1238");
  assert.deepEqual(byName(read.certificates), byName(["device", "wang"].map((kind) => certificateOf(b, kind))));
  const refused = `connection of uid ${account("nobody").uid} refused`;
  assert.ok(serviceOfA.log.includes(refused), `A's service logs the refusal:\n${serviceOfA.log}`);
  // By uid: the handshake does not search for the client's process.
  assert.ok(new RegExp(`accepted, Origin "http://127\\.0\\.0\\.1:\\d+", uid ${account("nobody").uid}\n`)
    .test(serviceOfB.log), `B's service logs B's browser:\n${serviceOfB.log}`);
  await page.close();
});

test("the demo page from B's disk lists B's certificates, not A's", async () => {
  const page = await browser.newPage();
  await page.goto("file://" + join(b, "site/examples/demo.html"));
  await page.waitForFunction(() => ["ok", "error"].includes(document.getElementById("status").className));
  assert.equal(await page.$eval("#status", (e) => e.textContent), "2 certificates found.");
  const names = await page.$$eval("#certificates tbody tr", (rows) => rows.map((row) => row.cells[0].firstElementChild.textContent));
  assert.deepEqual(names.sort(), ["device", "wang"].map((kind) => certificateOf(b, kind).commonName).sort());
  assert.ok(!names.includes(certificateOf(a, "alice").commonName));
  await page.close();
});
