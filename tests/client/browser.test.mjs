// The client and the demo page in a real browser against the real service
// with Quintrel, the Kestova bridge and SoftHSM2 tokens: Debian's Chromium,
// or with CORVANE_BROWSER=firefox Debian's Firefox ESR over WebDriver BiDi.
// Run by CTest in a private network namespace; the environment names the
// built files.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { X509Certificate } from "node:crypto";
import { copyFileSync, existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import http from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";
import { startService as startService_, stopService as stopService_ } from "./service.mjs";

const source = fileURLToPath(new URL("../../", import.meta.url));
const env = (name) => process.env[name] || assert.fail(`${name} is not set (CTest sets it)`);
const firefox = process.env.CORVANE_BROWSER === "firefox";
const executable = firefox ? process.env.CORVANE_FIREFOX || "/usr/bin/firefox-esr"
  : process.env.CORVANE_CHROMIUM || "/usr/bin/chromium";
// Chromium alone can move a server into the public address space and grant
// the permission that lets such a page reach loopback; in Firefox the test
// pages stay local.
const noAddressSpaces = firefox && "Firefox has no address-space override or loopback-network permission to set";
// Alice's certificate is on both tokens, so its serial comes twice.
const DEMO_TOKEN = "Corvane Demo";
const SECOND_TOKEN = "Second Token";
const TOKENS = {
  [DEMO_TOKEN]: ["alice", "device", "wang"],
  [SECOND_TOKEN]: ["no-cn", "serial-00", "alice", "long", "person"],
};
// Certificates whose private keys the demo token holds too, for signing.
const WITH_KEY = new Set(["alice", "device"]);
const work = mkdtempSync(join(tmpdir(), "corvane-browser-"));
let service;
let server;
// A second public origin, which the managed policy below does not list.
let otherServer;
let browser;

async function startService() {
  service = await startService_(join(work, "service/corvane"), 1237, {
    stdio: "ignore",
    env: { ...process.env, XDG_RUNTIME_DIR: work, KESTOVA_BRIDGE_MODULE: env("CORVANE_SOFTHSM_MODULE"),
      SOFTHSM2_CONF: join(work, "tokens/softhsm2.conf"), CORVANE_PINENTRY: join(work, "pinentry") },
  });
}

async function stopService(signal = "SIGTERM") {
  const child = service;
  service = undefined;
  await stopService_(child, signal);
}

// A page in the public address space (see the override below) that imports
// the client as a module, and the demo page with the script it loads.
function serve(request, response) {
  const files = { "/corvane.js": "clients/js/corvane.js", "/quintrel.js": "clients/js/quintrel.js",
    "/clients/js/corvane.global.js": "clients/js/corvane.global.js" };
  if (request.url === "/examples/demo.html") {
    response.setHeader("Content-Type", "text/html");
    response.end(readFileSync(join(source, "examples/demo.html")));
  } else if (request.url === "/") {
    response.setHeader("Content-Type", "text/html");
    response.end(`<!DOCTYPE html><script type="module">
      import * as client from "/corvane.js"; import * as quintrel from "/quintrel.js";
      window.Corvane = { ...client, ...quintrel };</script>`);
  } else if (files[request.url]) {
    response.setHeader("Content-Type", request.url.endsWith(".html") ? "text/html" : "text/javascript");
    response.end(readFileSync(join(source, files[request.url])));
  } else {
    response.statusCode = 404;
    response.end();
  }
}

before(async () => {
  if (!existsSync(executable)) {
    assert.fail(`${executable} not found: install Debian's ${firefox ? "firefox-esr" : "chromium"} (scripts/setup-deps.sh does)`);
  }
  execFileSync(join(source, "scripts/provision-demo-token.sh"),
    [join(work, "tokens"), `${DEMO_TOKEN}:${TOKENS[DEMO_TOKEN].map((n) => (WITH_KEY.has(n) ? n + "+" : n)).join(",")}`,
      `${SECOND_TOKEN}:${TOKENS[SECOND_TOKEN].join(",")}`], { stdio: "ignore" });
  // The user at the PIN prompt, scripted: the browser cannot reach a terminal.
  writeFileSync(join(work, "pinentry"), "#!/bin/sh\necho 'OK ready'\nwhile read l; do case $l in " +
    "GETPIN) printf 'D 123456\\nOK\\n';; BYE) exit 0;; *) echo OK;; esac; done\n", { mode: 0o755 });
  const dir = join(work, "service");
  execFileSync("mkdir", [dir]);
  copyFileSync(env("CORVANE_BINARY"), join(dir, "corvane"));
  execFileSync("chmod", ["+x", join(dir, "corvane")]);
  copyFileSync(env("CORVANE_QUINTREL"), join(dir, "Quintrel.so"));
  copyFileSync(env("CORVANE_BRIDGE"), join(dir, "libKestova.so"));
  for (const plugin of ["echo.so", "noinvoke.so"]) copyFileSync(join(env("CORVANE_PLUGINS"), plugin), join(dir, plugin));
  await startService();

  server = http.createServer(serve);
  otherServer = http.createServer(serve);
  for (const s of [server, otherServer]) await new Promise((resolve) => s.listen(0, "127.0.0.1", resolve));
  browser = firefox ? await puppeteer.launch({ browser: "firefox", executablePath: executable, headless: true })
    : await launchChromium("profile");
});

// 127.0.0.1 stays a secure context (it is potentially trustworthy by its
// URL), while the override moves both test servers into the public address
// space.
const launchChromium = (profile) => puppeteer.launch({
  executablePath: executable,
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", `--user-data-dir=${join(work, profile)}`,
    `--ip-address-space-overrides=${[server, otherServer].map((s) => `127.0.0.1:${s.address().port}=public`).join(",")}`],
});

after(async () => {
  await browser?.close();
  server?.close();
  otherServer?.close();
  await stopService();
  if (!process.env.CORVANE_TEST_KEEP_DIRS) rmSync(work, { recursive: true, force: true });
});

const publicOrigin = () => `http://127.0.0.1:${server.address().port}`;

// A fresh profile context, optionally allowed to reach loopback addresses.
async function publicPage({ allowLoopback }) {
  const context = await browser.createBrowserContext();
  if (allowLoopback && !firefox) {
    await context.setPermission(publicOrigin(), { permission: { name: "loopback-network" }, state: "granted" });
  }
  const page = await context.newPage();
  await page.goto(publicOrigin() + "/");
  await page.waitForFunction(() => window.Corvane);
  return page;
}

// Runs the async function in the page; a CorvaneError comes back as data.
const outcome = (page, fn, ...args) => page.evaluate(async (body, ...a) => {
  try {
    return { value: await (0, eval)(body)(...a) };
  } catch (e) {
    // Without the fields that are undefined, which not every browser leaves out.
    return JSON.parse(JSON.stringify({ code: e.code, permission: e.permission, systemError: e.systemError,
      response: e.response, message: e.message }));
  }
}, fn.toString(), ...args);

test("a public page is refused loopback until the loopback-network permission is granted", { skip: noAddressSpaces }, async () => {
  const permission = (page) => page.evaluate(async () => (await navigator.permissions.query({ name: "loopback-network" })).state);
  const refused = await publicPage({ allowLoopback: false });
  assert.equal(await refused.evaluate(() => isSecureContext), true);
  assert.equal(await permission(refused), "prompt");
  const error = await outcome(refused, () => Corvane.connect());
  assert.equal(error.code, "unavailable");
  assert.equal(error.permission, "denied");
  assert.match(error.message, /blocked/);
  await refused.browserContext().close();

  const allowed = await publicPage({ allowLoopback: true });
  assert.deepEqual(await outcome(allowed, async () => {
    const connection = await Corvane.connect();
    await connection.load("echo");
    return connection.call("echo", { text: "hi" });
  }), { value: '{"text":"hi"}' });
  await allowed.browserContext().close();
});

test("every answer the service can give reaches the page as its error code", async () => {
  const page = await publicPage({ allowLoopback: true });
  const results = await outcome(page, async () => {
    const connection = await Corvane.connect();
    // Fields that are undefined are left out.
    const settle = (promise) => promise.then((value) => ({ value: String(value) }),
      (e) => JSON.parse(JSON.stringify({ code: e.code, systemError: e.systemError, response: e.response })));
    return Promise.all([
      connection.call("echo"),
      connection.load("no-such-plugin"),
      connection.load("../echo"),
      connection.load("noinvoke"),
      connection.load("echo"),
      connection.call("failWithText"),
      connection.call(""),
      connection.call("echo", "after the errors"),
    ].map(settle));
  });
  assert.deepEqual(results.value, [
    { code: "not-loaded" },
    { code: "load-failed", systemError: 126 },
    { code: "load-failed", systemError: 123 },
    { code: "invalid-plugin" },
    { value: "undefined" },
    { code: "call-failed", response: "echo failed on purpose" },
    { code: "invalid-request" },
    { value: "after the errors" },
  ]);
  await page.browserContext().close();
});

test("a stalled service times a call out, a stopped one closes the connection, and then nothing listens", async () => {
  const page = await publicPage({ allowLoopback: true });
  await page.evaluate(async () => {
    window.connection = await Corvane.connect();
    await window.connection.load("echo");
  });
  service.kill("SIGSTOP");
  try {
    assert.equal((await outcome(page, () => window.connection.call("echo", "{}", { timeout: 200 }))).code, "timeout");
    await page.evaluate(() => { window.pending = window.connection.call("echo").then(() => "answered", (e) => e.code); });
    await stopService("SIGKILL");
    assert.equal(await page.evaluate(() => window.pending), "closed");
    const down = await outcome(page, () => Corvane.connect());
    assert.equal(down.code, "unavailable");
    // Firefox knows the permission but offers no way to grant it here.
    assert.equal(down.permission, firefox ? "prompt" : "granted");
    assert.match(down.message, /running/);
  } finally {
    await stopService("SIGKILL");
    await startService();
  }
  await page.browserContext().close();
});

// What Python's cryptography package reads from a certificate file on a token.
function cryptographyView(name, token) {
  const [line] = execFileSync("python3", [join(source, "tests/quintrel/softhsm/expected-cert-info.py"),
    `${token}:${join(work, "tokens/certs", `${name}.der`)}`], { encoding: "utf8" }).split("\n");
  const { subject, issuer, notBefore, notAfter, keyUsage } = JSON.parse(line);
  return { token, subject, issuer, validFrom: notBefore, validUntil: notAfter, keyUsage };
}

// What OpenSSL reads from the certificate files that went onto the tokens.
function opensslView(name) {
  const der = readFileSync(join(work, "tokens/certs", `${name}.der`));
  const certificate = new X509Certificate(der);
  const serial = certificate.serialNumber.toLowerCase().padStart(2 * Math.ceil(certificate.serialNumber.length / 2), "0");
  const jwk = certificate.publicKey.export({ format: "jwk" });
  const key = jwk.n ? Buffer.from(jwk.n, "base64url")
    : Buffer.concat([Buffer.of(4), Buffer.from(jwk.x, "base64url"), Buffer.from(jwk.y, "base64url")]);
  const day = (text) => new Date(text).toISOString().slice(0, 10);
  return {
    serial: /^[89a-f]/.test(serial) ? "00" + serial : serial, // DER keeps a positive INTEGER's leading 00
    // Node escapes as RFC 4514 does; only ";" occurs in these names.
    commonName: (certificate.subject.match(/^CN=(.*)$/m) || ["", ""])[1].replace(/\\;/g, ";"),
    notBefore: day(certificate.validFrom),
    notAfter: day(certificate.validTo),
    certificate: der.toString("hex"),
    publicKey: key.toString("hex"),
    pem: readFileSync(join(work, "tokens/certs", `${name}.pem`), "utf8"),
  };
}

test("readCertificates gives what OpenSSL reads from every certificate on the tokens", async () => {
  const page = await publicPage({ allowLoopback: true });
  const read = await outcome(page, async () => {
    const connection = await Corvane.connect();
    const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
    return (await Corvane.readCertificates(connection)).map((c) => ({ ...c,
      certificate: hex(c.certificate), publicKey: hex(c.publicKey), pem: Corvane.toPem(c.certificate) }));
  });
  const expected = Object.entries(TOKENS).flatMap(([token, names]) =>
    names.map((name) => ({ ...opensslView(name), ...cryptographyView(name, token) })));
  assert.ok(expected.some((c) => c.commonName === "TAMM; MARI-LIIS"), "a common name with ';' is among them");
  const order = (list) => [...list].sort((a, b) =>
    (a.serial + a.commonName + a.token).localeCompare(b.serial + b.commonName + b.token));
  assert.deepEqual(order(read.value ?? [read]), order(expected));
  await page.browserContext().close();
});

test("the demo page from the file system lists the certificates, and says what to do when the service is down", async () => {
  const page = await browser.newPage();
  await page.setViewport({ width: 700, height: 800 });
  const status = async () => {
    await page.goto("file://" + join(source, "examples/demo.html"));
    await page.waitForFunction(() => ["ok", "error"].includes(document.getElementById("status").className));
    return page.$eval("#status", (e) => ({ kind: e.className, text: e.textContent }));
  };
  assert.deepEqual(await status(), { kind: "ok", text: "8 certificates found." });
  const rows = await page.$$eval("#certificates tbody tr", (trs) => trs.map((tr) =>
    [...[...tr.cells[0].children].map((div) => div.textContent), ...[...tr.cells].slice(1, 6).map((td) => td.textContent)]));
  assert.deepEqual(rows.find((row) => row[3] === "008f0102030405"), ["Leading Zero Serial",
    "Issued by Corvane Sample Issuer", "On token Second Token", "008f0102030405", "2025-03-04", "2030-12-31", "valid",
    "signing"]);
  const person = rows.find((row) => row[0] === "TAMM; MARI-LIIS");
  assert.deepEqual([person[1], person[2], person[7]],
    ["Issued by Corvane Sample Issuer", "On token Second Token", "authentication"]);
  assert.ok(await page.$eval("#certificates", (table) => table.scrollWidth <= document.documentElement.clientWidth),
    "long serials and names wrap instead of widening the table");
  const download = await page.$eval("#certificates tbody tr a[download]", async (a) => ({
    name: a.download, bytes: Array.from(new Uint8Array(await (await fetch(a.href)).arrayBuffer())) }));
  const first = await page.$eval("#certificates tbody tr", (tr) => tr.cells[1].textContent);
  const view = Object.values(TOKENS).flat().map(opensslView).find((v) => v.serial === first);
  assert.match(download.name, /\.cer$/);
  assert.equal(Buffer.from(download.bytes).toString("hex"), view.certificate);
  await page.click("#certificates tbody tr button");
  assert.equal(await page.$eval("#pem", (pre) => pre.textContent), view.pem);

  await stopService();
  try {
    const down = await status();
    assert.equal(down.kind, "error");
    assert.match(down.text, /Start the Corvane service/);
    assert.match(down.text, /Allow this site to reach local software/);
  } finally {
    await startService();
  }
  await page.close();
});

// Chromium reads /etc/chromium/policies/managed at start; the test gets a
// private one from tests/run-with-policy-dir.sh, so no other browser sees it.
const chromiumPolicies = process.env.CORVANE_TEST_CHROMIUM_POLICY_DIR;
test("a managed Chromium policy lets the demo page of the listed public origin in without asking, and only that one", {
  skip: firefox ? "a Chromium policy" : !chromiumPolicies && "no private /etc/chromium/policies/managed: run through tests/run-with-policy-dir.sh",
}, async () => {
  const file = join(chromiumPolicies, "corvane-test.json");
  for (const name of ["LocalNetworkAccessAllowedForUrls", "LoopbackNetworkAllowedForUrls"]) {
    writeFileSync(file, JSON.stringify({ [name]: [publicOrigin()] }));
    const managed = await launchChromium(`managed-profile-${name}`);
    try {
      const demo = async (origin) => {
        const page = await managed.newPage();
        await page.goto(origin + "/examples/demo.html");
        await page.waitForFunction(() => ["ok", "error"].includes(document.getElementById("status").className));
        const state = await page.evaluate(async () => (await navigator.permissions.query({ name: "loopback-network" })).state);
        return { state, text: await page.$eval("#status", (e) => e.textContent) };
      };
      assert.deepEqual(await demo(publicOrigin()), { state: "granted", text: "8 certificates found." }, name);
      const other = await demo(`http://127.0.0.1:${otherServer.address().port}`);
      assert.equal(other.state, "denied", name);
      assert.match(other.text, /Allow this site to reach local software/, name);
    } finally {
      await managed.close();
      rmSync(file, { force: true });
    }
  }
});

test("the demo page over http signs a test text and verifies it with WebCrypto; from file:// it may not sign", async () => {
  const page = await publicPage({ allowLoopback: true });
  await page.goto(publicOrigin() + "/examples/demo.html");
  await page.waitForFunction(() => document.getElementById("status").className === "ok");
  for (const name of ["Alice Example", "Demo Signing Device"]) {
    await page.$$eval("#certificates tbody tr", (rows, wanted) => rows.find((tr) =>
      tr.cells[0].textContent.startsWith(wanted) && tr.cells[0].textContent.includes("Corvane Demo"))
      .querySelector("button:last-of-type").click(), name);
    await page.waitForFunction(() => document.getElementById("status").className !== "", { timeout: 60000 });
    const status = await page.$eval("#status", (e) => ({ kind: e.className, text: e.textContent }));
    assert.equal(status.kind, "ok", status.text);
    assert.match(status.text, /^Signed and verified in this page/);
  }
  await page.browserContext().close();

  const local = await browser.newPage();
  await local.goto("file://" + join(source, "examples/demo.html"));
  await local.waitForFunction(() => document.getElementById("status").className === "ok");
  const refused = await outcome(local, async () => {
    const connection = await Corvane.connect();
    const [first] = await Corvane.readCertificates(connection);
    return Corvane.sign(connection, first.certificate, new Uint8Array(32), "SHA-256");
  });
  assert.equal(refused.code, "origin-not-allowed", JSON.stringify(refused));
  await local.close();
});
