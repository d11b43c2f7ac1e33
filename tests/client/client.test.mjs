// The client's answer matching, error mapping and Quintrel parsing against a
// scripted socket: no service, no browser.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import { connect, CorvaneError } from "../../clients/js/corvane.js";
import { authenticate, readCertificates, sign, toPem } from "../../clients/js/quintrel.js";
import { globalScript } from "../../clients/js/make-global.mjs";

// Opens unless the URL says "refused"; the test answers through answer().
// On 127.0.0.1 a port is refused unless ScriptedSocket.ports names what
// listens there: "corvane" answers the first request as the service does
// before any load, "other" answers something else, "silent" nothing.
class ScriptedSocket {
  static ports = {};
  static opened = [];
  constructor(url) {
    this.sent = [];
    ScriptedSocket.last = this;
    ScriptedSocket.opened.push(url);
    const port = /^ws:\/\/127\.0\.0\.1:(\d+)$/.exec(url)?.[1];
    this.listener = port ? ScriptedSocket.ports[port] : "test";
    setTimeout(() => (url.includes("refused") || !this.listener ? this.onclose?.({ code: 1006 }) : this.onopen?.()));
  }
  send(text) {
    this.sent.push(JSON.parse(text));
    const { MsgId } = this.sent.at(-1);
    if (this.listener === "corvane") setTimeout(() => this.answer(MsgId, false, "Module have not been loaded"));
    if (this.listener === "other") setTimeout(() => this.answer(MsgId, true, "Module have not been loaded"));
  }
  close() { this.closed = true; }
  answer(MsgId, Result, Response) { this.onmessage?.({ data: JSON.stringify({ MsgId, Result, Response }) }); }
}
globalThis.WebSocket = ScriptedSocket;
const stored = new Map();
globalThis.localStorage = { getItem: (key) => stored.get(key) ?? null, setItem: (key, value) => stored.set(key, value) };
const service = "ws://service";

const code = (expected, fields = {}) => (error) => {
  assert.ok(error instanceof CorvaneError);
  assert.equal(error.code, expected, error.message);
  for (const [name, value] of Object.entries(fields)) assert.equal(error[name], value);
  return true;
};

test("connect: a refused connection is unavailable and says what to do", async () => {
  await assert.rejects(connect({ url: "ws://refused" }), (error) =>
    code("unavailable")(error) && /running/.test(error.message) && /[Aa]llow this site/.test(error.message));
});

test("answers map to results and error codes in request order", async () => {
  const connection = await connect({ url: service });
  const socket = ScriptedSocket.last;
  const outcomes = [
    connection.load("Quintrel"),
    connection.load("missing"),
    connection.load("noinvoke"),
    connection.call("m", { a: 1 }),
    connection.call("m"),
    connection.call("m"),
    connection.call("m"),
  ].map((promise) => promise.then((value) => ({ value }), (error) => ({ error })));
  assert.deepEqual(socket.sent.slice(3, 5).map((r) => r.Param), ['{"a":1}', "{}"]);
  assert.equal(new Set(socket.sent.map((r) => r.MsgId)).size, socket.sent.length);
  const id = (i) => socket.sent[i].MsgId;
  socket.answer("LoadModule", true, "Load module success");
  socket.answer("LoadModule", false, "Load Module error, can't find module.Error code: 126");
  assert.equal(connection.module, "Quintrel", "a file not found keeps the module loaded before");
  socket.answer("LoadModule", false, "Invalid plugin format");
  assert.equal(connection.module, null, "a library without Invoke replaces the module loaded before");
  socket.answer(id(3), true, "text");
  socket.answer(id(4), false, "Module have not been loaded");
  socket.answer(id(5), false, "plug-in says no");
  socket.answer("InvalidSyntax", false, "Invalid syntax, reason: Bad request");
  const [loaded, missing, noInvoke, called, notLoaded, failed, invalid] = await Promise.all(outcomes);
  assert.deepEqual(loaded, { value: undefined });
  assert.ok(code("load-failed", { systemError: 126 })(missing.error));
  assert.ok(code("invalid-plugin")(noInvoke.error));
  assert.deepEqual(called, { value: "text" });
  assert.ok(code("not-loaded")(notLoaded.error));
  assert.ok(code("call-failed", { response: "plug-in says no" })(failed.error));
  assert.ok(code("invalid-request")(invalid.error));
});

test("a timed-out request keeps its place, so the next call gets its own answer", async () => {
  const connection = await connect({ url: service });
  const socket = ScriptedSocket.last;
  await assert.rejects(connection.call("slow", "{}", { timeout: 10 }), code("timeout"));
  const next = connection.call("fast");
  socket.answer(socket.sent[0].MsgId, true, "late");
  socket.answer(socket.sent[1].MsgId, true, "mine");
  assert.equal(await next, "mine");
});

test("an answer for another request fails every outstanding one and ends the connection", async () => {
  const connection = await connect({ url: service });
  const socket = ScriptedSocket.last;
  const first = connection.call("a");
  const second = connection.call("b");
  socket.answer(socket.sent[1].MsgId, true, "b's answer");
  await assert.rejects(first, code("protocol"));
  await assert.rejects(second, code("protocol"));
  assert.ok(socket.closed);
  await assert.rejects(connection.call("c"), code("closed"));
});

test("a connection that ends fails outstanding requests as closed", async () => {
  const connection = await connect({ url: service });
  const pending = connection.call("a");
  ScriptedSocket.last.onclose({ code: 1000, reason: "service stopping" });
  await assert.rejects(pending, (error) => code("closed")(error) && /service stopping/.test(error.message));
});

test("connect finds the service from the remembered port, then 1237 upward, past listeners that are not it", async () => {
  stored.set("corvane.port", "1240");
  ScriptedSocket.ports = { 1240: "silent", 1237: "other", 1239: "corvane", 1241: "corvane" };
  ScriptedSocket.opened = [];
  const connection = await connect();
  const socket = ScriptedSocket.last;
  assert.deepEqual(ScriptedSocket.opened, [1240, 1237, 1238, 1239].map((port) => `ws://127.0.0.1:${port}`));
  assert.equal(connection.url, "ws://127.0.0.1:1239");
  assert.equal(stored.get("corvane.port"), "1239");
  const probe = socket.sent[0];
  assert.match(probe.MsgId, /^[0-9a-f]{32}$/, "a MsgId that no other listener can guess");
  const reply = connection.call("m");
  socket.answer(socket.sent[1].MsgId, true, "mine");
  assert.equal(await reply, "mine", "the probe's answer is not taken for the first call's");
});

test("connect without a service in the range is unavailable after trying every port", async () => {
  stored.set("corvane.port", "80");
  ScriptedSocket.ports = { 1237: "other", 1300: "silent" };
  ScriptedSocket.opened = [];
  await assert.rejects(connect(), (error) => code("unavailable")(error) && /ports 1237 to 1300/.test(error.message));
  const range = Array.from({ length: 64 }, (_, i) => `ws://127.0.0.1:${1237 + i}`);
  assert.deepEqual(ScriptedSocket.opened, range, "a stored port outside the range is not tried");
  assert.equal(stored.get("corvane.port"), "80");
  ScriptedSocket.ports = { 1237: "silent" };
  await assert.rejects(connect({ timeout: 50 }), (error) => code("unavailable")(error) && /within 50 ms/.test(error.message));
  assert.ok(ScriptedSocket.last.closed, "the search closes what it leaves behind");
});

// Two certificates as Quintrel writes them: the same serial twice (one
// certificate on two tokens), unpadded dates, base64 in 64-character lines.
const der = Uint8Array.from({ length: 100 }, (_, i) => (i * 37) & 0xff);
const lines = (bytes) => Buffer.from(bytes).toString("base64").replace(/.{1,64}/g, "$&\n");
const answers = {
  Quintrel: "王小明;;",
  GetCert: `00ab:${lines(der)};00ab:${lines(der.slice(0, 48))};`,
  GetCertNotBefore: "00ab:2025-3-4;00ab:999-12-1;",
  GetCertNotAfter: "00ab:2030-12-31;00ab:2031-1-9;",
  GetCertPubKey: `00ab:${lines([4, 1, 2])};00ab:\n;`,
  GetCertInfo: "[ GetCertInfo ] function success.",   // an older Quintrel
};

function fakeConnection(...reads) {
  const connection = { module: null, calls: [], loads: 0 };
  connection.load = async () => { connection.loads += 1; connection.module = "Quintrel"; };
  connection.call = async (method) => {
    connection.calls.push(method);
    // Five calls of the old methods make one read; GetCertInfo belongs to none.
    const round = Math.floor((connection.calls.filter((m) => m !== "GetCertInfo").length - 1) / 5);
    return reads[Math.min(Math.max(round, 0), reads.length - 1)][method];
  };
  return connection;
}

const unknown = { token: null, subject: null, issuer: null, validFrom: null, validUntil: null, keyUsage: null };

test("readCertificates falls back to joining the five answers by position and serial", async () => {
  const connection = fakeConnection(answers);
  const certificates = await readCertificates(connection);
  assert.equal(connection.loads, 1);
  assert.deepEqual(certificates.map(({ certificate, publicKey, ...rest }) => rest), [
    { serial: "00ab", commonName: "王小明", notBefore: "2025-03-04", notAfter: "2030-12-31", ...unknown },
    { serial: "00ab", commonName: "", notBefore: "0999-12-01", notAfter: "2031-01-09", ...unknown },
  ]);
  assert.deepEqual(certificates[0].certificate, der);
  assert.deepEqual(certificates[1].certificate, der.slice(0, 48));
  assert.deepEqual(certificates[0].publicKey, Uint8Array.of(4, 1, 2));
  assert.deepEqual(certificates[1].publicKey, new Uint8Array());
  await readCertificates(connection);
  assert.equal(connection.loads, 1, "Quintrel is loaded once per connection");
});

test("answers that disagree are read once more, then reported as changed", async () => {
  const pulled = { ...answers, GetCertNotAfter: "00ab:2030-12-31;" };
  const swapped = { ...answers, GetCertPubKey: `00ab:\n;00cd:\n;` };
  assert.equal((await readCertificates(fakeConnection(pulled, answers))).length, 2);
  const twice = fakeConnection(pulled, swapped, answers);
  await assert.rejects(readCertificates(twice), code("changed"));
  assert.deepEqual(twice.calls.slice(0, 2), ["GetCertInfo", "Quintrel"]);
  assert.equal(twice.calls.length, 11);
  await assert.rejects(readCertificates(fakeConnection({ ...answers, GetCertNotBefore: "00ab:3 March;00ab:999-12-1;" })),
    code("protocol"));
});

test("readCertificates reads GetCertInfo's one answer, names with ';' and unusable keys included", async () => {
  const info = [
    { token: "Card", serial: "00ab", commonName: "TAMM; MARI-LIIS", subject: "CN=TAMM\\; MARI-LIIS,C=EE",
      issuer: "CN=Issuer", notBefore: "2025-03-04T20:00:00Z", notAfter: "2030-12-31T16:00:00Z",
      certificate: Buffer.from(der).toString("base64"), publicKey: "", keyUsage: ["digitalSignature"] },
  ];
  const connection = fakeConnection({ GetCertInfo: JSON.stringify(info) });
  const [certificate] = await readCertificates(connection);
  assert.deepEqual(connection.calls, ["GetCertInfo"]);
  assert.deepEqual({ ...certificate, certificate: undefined }, {
    serial: "00ab", commonName: "TAMM; MARI-LIIS", notBefore: "2025-03-04", notAfter: "2030-12-31",
    certificate: undefined, publicKey: new Uint8Array(), token: "Card", subject: "CN=TAMM\\; MARI-LIIS,C=EE",
    issuer: "CN=Issuer", validFrom: "2025-03-04T20:00:00Z", validUntil: "2030-12-31T16:00:00Z",
    keyUsage: ["digitalSignature"],
  });
  assert.deepEqual(certificate.certificate, der);
  for (const bad of ["{}", "[1]", JSON.stringify([{ ...info[0], notAfter: "2030-12-31" }])]) {
    await assert.rejects(readCertificates(fakeConnection({ GetCertInfo: bad })), code("protocol"), bad);
  }
});

test("readCertificates loads Quintrel again after a library without Invoke replaced it", async () => {
  const connection = await connect({ url: service });
  const socket = ScriptedSocket.last;
  const loads = [connection.load("Quintrel"), connection.load("noinvoke").catch(() => {})];
  socket.answer("LoadModule", true, "Load module success");
  socket.answer("LoadModule", false, "Invalid plugin format");
  await Promise.all(loads);
  const reading = readCertificates(connection);
  await new Promise((resolve) => setTimeout(resolve));
  assert.deepEqual(socket.sent.slice(2).map((r) => r.Module ?? r.Method), ["Quintrel"]);
  socket.answer("LoadModule", true, "Load module success");
  await new Promise((resolve) => setTimeout(resolve));
  socket.answer(socket.sent[3].MsgId, true, "[]");
  assert.deepEqual(await reading, []);
  assert.equal(socket.sent[3].Method, "GetCertInfo");
});

test("toPem wraps the base64 at 64 characters between the PEM lines", () => {
  const pem = toPem(der);
  assert.match(pem, /^-----BEGIN CERTIFICATE-----\n([A-Za-z0-9+/=]{64}\n)+[A-Za-z0-9+/=]{1,64}\n-----END CERTIFICATE-----\n$/);
  assert.equal(pem.split("\n").slice(1, -2).join(""), Buffer.from(der).toString("base64"));
});

test("corvane.global.js is generated from the current modules", () => {
  assert.equal(readFileSync(new URL("../../clients/js/corvane.global.js", import.meta.url), "utf8"),
    globalScript(), "run: npm run build:global in clients/js");
});

// A connection whose calls answer as the service does: text, or a failed call.
function keyConnection(outcome) {
  const connection = { module: "Quintrel", sent: [] };
  connection.load = async () => {};
  connection.call = async (method, param, options) => {
    connection.sent.push({ method, param, options });
    if (outcome.failed) throw new CorvaneError("call-failed", outcome.failed, { response: outcome.failed });
    return outcome.text;
  };
  return connection;
}

test("sign and authenticate send base64, wait past the prompt and map the plug-in's error codes", async () => {
  const signed = keyConnection({ text: JSON.stringify({ signature: "AQID",
    signatureAlgorithm: { name: "ECDSA", hash: "SHA-256" } }) });
  const result = await sign(signed, der, new Uint8Array(32).fill(7), "SHA-256");
  assert.deepEqual(result.signature, Uint8Array.of(1, 2, 3));
  const { method, param, options } = signed.sent[0];
  assert.equal(method, "Sign");
  assert.equal(param.hash, Buffer.alloc(32, 7).toString("base64"));
  assert.equal(param.certificate, Buffer.from(der).toString("base64"));
  assert.ok(options.timeout > 60000, "longer than the prompt's 60 s");

  await assert.rejects(sign(signed, der, new Uint8Array(20), "SHA-256"), code("bad-request"));
  assert.equal(signed.sent.length, 1, "a hash of the wrong length is not sent");

  const locked = keyConnection({ failed: JSON.stringify({ error: "pin-locked", message: "locked", retriesLeft: 0 }) });
  await assert.rejects(authenticate(locked, der, new Uint8Array(32)), code("pin-locked", { retriesLeft: 0 }));
  // A Quintrel without the method answers the host's text: left as it is.
  const older = keyConnection({ failed: "[ Sign ] function faild." });
  await assert.rejects(sign(older, der, new Uint8Array(32)), code("call-failed"));
  const other = keyConnection({ failed: JSON.stringify({ error: "made-up", message: "x" }) });
  await assert.rejects(sign(other, der, new Uint8Array(32)), code("call-failed"));
});
