// The client's answer matching, error mapping and Quintrel parsing against a
// scripted socket: no service, no browser.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import { connect, CorvaneError } from "../../clients/js/corvane.js";
import { readCertificates, toPem } from "../../clients/js/quintrel.js";
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
  socket.answer("LoadModule", false, "Invalid plugin format");
  socket.answer(id(3), true, "text");
  socket.answer(id(4), false, "Module have not been loaded");
  socket.answer(id(5), false, "plug-in says no");
  socket.answer("InvalidSyntax", false, "Invalid syntax, reason: Bad request");
  const [loaded, missing, noInvoke, called, notLoaded, failed, invalid] = await Promise.all(outcomes);
  assert.deepEqual(loaded, { value: undefined });
  assert.equal(connection.module, "Quintrel", "a failed load keeps the module loaded before");
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
};

function fakeConnection(...reads) {
  const connection = { module: null, calls: [], loads: 0 };
  connection.load = async () => { connection.loads += 1; connection.module = "Quintrel"; };
  connection.call = async (method) => {
    connection.calls.push(method);
    return reads[Math.min(Math.floor((connection.calls.length - 1) / 5), reads.length - 1)][method];
  };
  return connection;
}

test("readCertificates joins the five answers by position and serial", async () => {
  const connection = fakeConnection(answers);
  const certificates = await readCertificates(connection);
  assert.equal(connection.loads, 1);
  assert.deepEqual(certificates.map(({ certificate, publicKey, ...rest }) => rest), [
    { serial: "00ab", commonName: "王小明", notBefore: "2025-03-04", notAfter: "2030-12-31" },
    { serial: "00ab", commonName: "", notBefore: "0999-12-01", notAfter: "2031-01-09" },
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
  assert.equal(twice.calls.length, 10);
  await assert.rejects(readCertificates(fakeConnection({ ...answers, GetCertNotBefore: "00ab:3 March;00ab:999-12-1;" })),
    code("protocol"));
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
