// Generated from corvane.js and quintrel.js by make-global.mjs (npm run build:global); edit those.
var Corvane = (() => {
  var __defProp = Object.defineProperty;
  var __getOwnPropDesc = Object.getOwnPropertyDescriptor;
  var __getOwnPropNames = Object.getOwnPropertyNames;
  var __hasOwnProp = Object.prototype.hasOwnProperty;
  var __export = (target, all) => {
    for (var name in all)
      __defProp(target, name, { get: all[name], enumerable: true });
  };
  var __copyProps = (to, from, except, desc) => {
    if (from && typeof from === "object" || typeof from === "function") {
      for (let key of __getOwnPropNames(from))
        if (!__hasOwnProp.call(to, key) && key !== except)
          __defProp(to, key, { get: () => from[key], enumerable: !(desc = __getOwnPropDesc(from, key)) || desc.enumerable });
    }
    return to;
  };
  var __toCommonJS = (mod) => __copyProps(__defProp({}, "__esModule", { value: true }), mod);

  // corvane.global.entry.js
  var corvane_global_entry_exports = {};
  __export(corvane_global_entry_exports, {
    CorvaneError: () => CorvaneError,
    KEY_CALL_TIMEOUT: () => KEY_CALL_TIMEOUT,
    authenticate: () => authenticate,
    connect: () => connect,
    readCertificates: () => readCertificates,
    sign: () => sign,
    toPem: () => toPem
  });

  // corvane.js
  var FIRST_PORT = 1237;
  var LAST_PORT = 1300;
  var PORT_KEY = "corvane.port";
  var ONE_BY_ONE = 8;
  var PROBE_TIMEOUT = 1e3;
  var LOAD_SUCCESS = "Load module success";
  var LOAD_ERROR = /^Load Module error, can't find module\.Error code: (\d+)$/;
  var NOT_LOADED = "Module have not been loaded";
  var CorvaneError = class extends Error {
    constructor(code, message, details = {}) {
      super(message);
      this.name = "CorvaneError";
      this.code = code;
      Object.assign(this, details);
    }
  };
  async function localNetworkPermission() {
    const permissions = globalThis.navigator && globalThis.navigator.permissions;
    if (!permissions) return void 0;
    for (const name of ["loopback-network", "local-network-access"]) {
      try {
        return (await permissions.query({ name })).state;
      } catch {
      }
    }
    return void 0;
  }
  async function unavailable(where, reason) {
    const permission = await localNetworkPermission();
    const start = "Make sure the Corvane service is installed and running on this computer.";
    const allow = `Allow this site to access apps and services on this device (the browser's site settings, local network access); only https pages can be allowed, and a page inside a frame also needs allow="loopback-network" on its iframe.`;
    const advice = permission === "denied" ? `The browser blocked the connection. ${allow}` : permission === "granted" ? start : `${start} If it is, the browser may be blocking the connection: ${allow}`;
    return new CorvaneError(
      "unavailable",
      `Cannot reach the Corvane service at ${where} (${reason}). ${advice}`,
      permission === void 0 ? {} : { permission }
    );
  }
  function loadOutcome(answer) {
    if (answer.MsgId === "InvalidSyntax") return invalidRequest(answer);
    if (answer.MsgId !== "LoadModule") return mismatch(answer, "LoadModule");
    if (answer.Result && answer.Response === LOAD_SUCCESS) return void 0;
    if (!answer.Result) {
      const failed = LOAD_ERROR.exec(answer.Response);
      if (failed) {
        return new CorvaneError("load-failed", answer.Response, { systemError: Number(failed[1]) });
      }
      if (answer.Response === "Invalid plugin format") {
        return new CorvaneError("invalid-plugin", answer.Response);
      }
    }
    return new CorvaneError("protocol", `Unexpected answer to a load request: ${answer.Response}`);
  }
  function callOutcome(answer, msgId) {
    if (answer.MsgId === "InvalidSyntax" && !answer.Result) return invalidRequest(answer);
    if (answer.MsgId !== msgId) return mismatch(answer, msgId);
    if (answer.Result) return void 0;
    if (answer.Response === NOT_LOADED) return new CorvaneError("not-loaded", answer.Response);
    return new CorvaneError("call-failed", answer.Response, { response: answer.Response });
  }
  function invalidRequest(answer) {
    return new CorvaneError("invalid-request", answer.Response);
  }
  function mismatch(answer, expected) {
    return new CorvaneError("protocol", `Answer "${answer.MsgId}" arrived where "${expected}" was due`);
  }
  function parseAnswer(data) {
    let answer;
    try {
      answer = JSON.parse(data);
    } catch {
      return void 0;
    }
    const wellFormed = answer !== null && typeof answer === "object" && typeof answer.MsgId === "string" && typeof answer.Result === "boolean" && typeof answer.Response === "string";
    return wellFormed ? answer : void 0;
  }
  var Connection = class {
    #socket;
    #url;
    #callTimeout;
    #pending = [];
    #nextId = 1;
    #closedError = null;
    constructor(socket, url, callTimeout) {
      this.#socket = socket;
      this.#url = url;
      this.#callTimeout = callTimeout;
      this.module = null;
      socket.onmessage = (event) => this.#receive(event.data);
      socket.onclose = (event) => {
        const why = event.reason ? `: ${event.reason}` : "";
        this.#fail(new CorvaneError("closed", `The connection to ${url} ended (code ${event.code}${why})`));
      };
    }
    get url() {
      return this.#url;
    }
    load(module, { timeout = this.#callTimeout } = {}) {
      return this.#send({ Module: String(module) }, timeout, (answer) => {
        const error = loadOutcome(answer);
        if (!error) this.module = String(module);
        else if (error.code === "invalid-plugin") this.module = null;
        return error;
      }).then(() => void 0);
    }
    call(method, param = "{}", { timeout = this.#callTimeout } = {}) {
      const text = typeof param === "string" ? param : JSON.stringify(param);
      return this.#send({ Method: String(method), Param: text }, timeout, callOutcome);
    }
    close() {
      this.#fail(new CorvaneError("closed", "The connection was closed by the page"));
    }
    #send(fields, timeout, outcome) {
      if (this.#closedError) return Promise.reject(this.#closedError);
      const msgId = String(this.#nextId++);
      return new Promise((resolve, reject) => {
        const request = { msgId, outcome, resolve, reject, settled: false, timer: void 0 };
        if (timeout > 0 && Number.isFinite(timeout)) {
          request.timer = setTimeout(() => {
            request.settled = true;
            reject(new CorvaneError("timeout", `No answer from the Corvane service within ${timeout} ms`));
          }, timeout);
        }
        this.#pending.push(request);
        this.#socket.send(JSON.stringify({ MsgId: msgId, ...fields }));
      });
    }
    #receive(data) {
      const request = this.#pending.shift();
      const answer = parseAnswer(data);
      if (!request || !answer) {
        const error2 = new CorvaneError("protocol", request ? `The service sent something that is not an answer: ${String(data).slice(0, 200)}` : "The service sent an answer that no request was waiting for");
        if (request) this.#pending.unshift(request);
        this.#fail(error2);
        return;
      }
      clearTimeout(request.timer);
      const error = request.outcome(answer, request.msgId);
      if (!request.settled) {
        request.settled = true;
        if (error) request.reject(error);
        else request.resolve(answer.Response);
      }
      if (error && error.code === "protocol") this.#fail(error);
    }
    #fail(error) {
      if (this.#closedError) return;
      this.#closedError = error.code === "closed" ? error : new CorvaneError("closed", `The connection to ${this.#url} was ended after an error: ${error.message}`);
      for (const request of this.#pending.splice(0)) {
        clearTimeout(request.timer);
        if (!request.settled) request.reject(error);
      }
      this.#socket.onmessage = this.#socket.onclose = null;
      this.#socket.close();
    }
  };
  function rememberedPort() {
    try {
      const port = Number(globalThis.localStorage?.getItem(PORT_KEY));
      return Number.isInteger(port) && port >= FIRST_PORT && port <= LAST_PORT ? port : void 0;
    } catch {
      return void 0;
    }
  }
  function rememberPort(port) {
    try {
      globalThis.localStorage?.setItem(PORT_KEY, String(port));
    } catch {
    }
  }
  function portOrder() {
    const remembered = rememberedPort();
    const ports = Array.from({ length: LAST_PORT - FIRST_PORT + 1 }, (_, i) => FIRST_PORT + i);
    return remembered === void 0 ? ports : [remembered, ...ports.filter((port) => port !== remembered)];
  }
  function randomId() {
    const bytes = globalThis.crypto.getRandomValues(new Uint8Array(16));
    return Array.from(bytes, (byte) => byte.toString(16).padStart(2, "0")).join("");
  }
  function attempt(url, verify) {
    let cancel = () => {
    };
    const promise = new Promise((resolve, reject) => {
      const socket = new WebSocket(url);
      let timer;
      let done = false;
      const end = (failure) => {
        if (done) return;
        done = true;
        clearTimeout(timer);
        socket.onopen = socket.onmessage = socket.onerror = socket.onclose = null;
        if (failure === void 0) {
          resolve(socket);
        } else {
          socket.close();
          reject(new Error(failure));
        }
      };
      cancel = () => end("search ended");
      socket.onerror = socket.onclose = () => end("connection failed");
      socket.onopen = () => {
        if (!verify) return end();
        const msgId = randomId();
        const expected = JSON.stringify({ MsgId: msgId, Result: false, Response: NOT_LOADED });
        socket.onmessage = (event) => end(event.data === expected ? void 0 : "not the Corvane service");
        timer = setTimeout(() => end("not the Corvane service"), PROBE_TIMEOUT);
        socket.send(JSON.stringify({ MsgId: msgId, Method: "probe" }));
      };
    });
    return { promise, cancel: () => cancel() };
  }
  function search(candidates, { verify, timeout }) {
    return new Promise((resolve, reject) => {
      const running = /* @__PURE__ */ new Set();
      let next = 0;
      let failed = 0;
      let done = false;
      let lastFailure = "connection failed";
      const finish = (failure, found) => {
        if (done) return;
        done = true;
        clearTimeout(timer);
        for (const tried of running) tried.cancel();
        if (failure === void 0) resolve(found);
        else reject(new Error(failure));
      };
      const timer = setTimeout(() => finish(`no connection within ${timeout} ms`), timeout);
      const launch = () => {
        while (!done && next < candidates.length && (running.size === 0 || failed >= ONE_BY_ONE)) {
          const candidate = candidates[next++];
          const tried = attempt(candidate.url, verify);
          running.add(tried);
          tried.promise.then((socket) => {
            running.delete(tried);
            if (done) socket.close();
            else finish(void 0, { socket, ...candidate });
          }, (error) => {
            running.delete(tried);
            if (done) return;
            failed += 1;
            lastFailure = error.message;
            if (failed === 1 && candidates.length > 1) {
              localNetworkPermission().then((state) => state === "denied" ? finish(lastFailure) : launch());
            } else {
              launch();
            }
          });
        }
        if (!done && running.size === 0 && next === candidates.length) {
          finish(verify ? "no port answered as the Corvane service" : lastFailure);
        }
      };
      launch();
    });
  }
  function connect({ url, timeout = url === void 0 ? 1e4 : 5e3, callTimeout = 6e4 } = {}) {
    const discover = url === void 0;
    const candidates = discover ? portOrder().map((port) => ({ port, url: `ws://127.0.0.1:${port}` })) : [{ url: String(url) }];
    return search(candidates, { verify: discover, timeout }).then((found) => {
      if (discover) rememberPort(found.port);
      return new Connection(found.socket, found.url, callTimeout);
    }, async (error) => {
      throw await unavailable(discover ? `ws://127.0.0.1, ports ${FIRST_PORT} to ${LAST_PORT}` : String(url), error.message);
    });
  }

  // quintrel.js
  var METHODS = ["Quintrel", "GetCert", "GetCertNotBefore", "GetCertNotAfter", "GetCertPubKey"];
  var INFO_METHOD = "GetCertInfo";
  var INFO_UNKNOWN = `[ ${INFO_METHOD} ] function success.`;
  var INSTANT = /^(\d{4}-\d{2}-\d{2})T\d{2}:\d{2}:\d{2}Z$/;
  var INFO_TEXTS = [
    "token",
    "serial",
    "commonName",
    "subject",
    "issuer",
    "notBefore",
    "notAfter",
    "certificate",
    "publicKey"
  ];
  var SERIAL_RECORD = /^([0-9a-f]*):([^]*)$/;
  var DATE = /^(\d+)-(\d+)-(\d+)$/;
  function records(text) {
    const parts = text.split(";");
    if (parts.pop() !== "") throw malformed(text);
    return parts;
  }
  function serialRecords(text) {
    return records(text).map((record) => {
      const match = SERIAL_RECORD.exec(record);
      if (!match) throw malformed(record);
      return { serial: match[1], field: match[2] };
    });
  }
  function malformed(text) {
    return new CorvaneError("protocol", `Quintrel sent a record that cannot be read: ${text.slice(0, 200)}`);
  }
  function paddedDate(text) {
    const match = DATE.exec(text);
    if (!match) throw malformed(text);
    return `${match[1].padStart(4, "0")}-${match[2].padStart(2, "0")}-${match[3].padStart(2, "0")}`;
  }
  function base64Bytes(text) {
    let binary;
    try {
      binary = atob(text.replace(/\n/g, ""));
    } catch {
      throw malformed(text);
    }
    return Uint8Array.from(binary, (c) => c.charCodeAt(0));
  }
  function joinCertificates(answers) {
    const [names, ...fields] = [records(answers[0]), ...answers.slice(1).map(serialRecords)];
    const [certificates, notBefore, notAfter, keys] = fields;
    const agree = names.length === certificates.length && fields.every((list) => list.length === certificates.length && list.every((r, i) => r.serial === certificates[i].serial));
    if (!agree) return void 0;
    return certificates.map((record, i) => ({
      serial: record.serial,
      commonName: names[i],
      notBefore: paddedDate(notBefore[i].field),
      notAfter: paddedDate(notAfter[i].field),
      certificate: base64Bytes(record.field),
      publicKey: base64Bytes(keys[i].field),
      token: null,
      subject: null,
      issuer: null,
      validFrom: null,
      validUntil: null,
      keyUsage: null
    }));
  }
  function instantDate(text) {
    const match = INSTANT.exec(text);
    if (!match) throw malformed(text);
    return match[1];
  }
  function infoCertificates(text) {
    let list;
    try {
      list = JSON.parse(text);
    } catch {
      throw malformed(text);
    }
    if (!Array.isArray(list)) throw malformed(text);
    return list.map((entry) => {
      const wellFormed = entry !== null && typeof entry === "object" && INFO_TEXTS.every((name) => typeof entry[name] === "string") && Array.isArray(entry.keyUsage) && entry.keyUsage.every((name) => typeof name === "string");
      if (!wellFormed) throw malformed(JSON.stringify(entry));
      return {
        serial: entry.serial,
        commonName: entry.commonName,
        notBefore: instantDate(entry.notBefore),
        notAfter: instantDate(entry.notAfter),
        certificate: base64Bytes(entry.certificate),
        publicKey: base64Bytes(entry.publicKey),
        token: entry.token,
        subject: entry.subject,
        issuer: entry.issuer,
        validFrom: entry.notBefore,
        validUntil: entry.notAfter,
        keyUsage: entry.keyUsage
      };
    });
  }
  async function callQuintrel(connection, method) {
    if (connection.module !== "Quintrel") await connection.load("Quintrel");
    try {
      return await connection.call(method);
    } catch (error) {
      if (!(error instanceof CorvaneError) || error.code !== "not-loaded") throw error;
      await connection.load("Quintrel");
      return connection.call(method);
    }
  }
  async function readCertificates(connection) {
    const info = await callQuintrel(connection, INFO_METHOD);
    if (info !== INFO_UNKNOWN) return infoCertificates(info);
    for (let attempt2 = 0; attempt2 < 2; ++attempt2) {
      const answers = await Promise.all(METHODS.map((method) => connection.call(method)));
      const certificates = joinCertificates(answers);
      if (certificates) return certificates;
    }
    throw new CorvaneError(
      "changed",
      "The certificates changed while they were read (a token was plugged in or pulled out); read them again"
    );
  }
  function toPem(certificate) {
    const base64 = btoa(Array.from(certificate, (byte) => String.fromCharCode(byte)).join(""));
    return `-----BEGIN CERTIFICATE-----
${base64.replace(/.{1,64}/g, "$&\n")}-----END CERTIFICATE-----
`;
  }
  var KEY_CALL_TIMEOUT = 9e4;
  var KEY_ERRORS = /* @__PURE__ */ new Set([
    "cancelled",
    "timeout",
    "pin-incorrect",
    "pin-locked",
    "no-key",
    "key-usage",
    "origin-not-allowed",
    "no-prompt",
    "bad-request",
    "token"
  ]);
  var HASH_LENGTHS = { "SHA-256": 32, "SHA-384": 48, "SHA-512": 64 };
  function bytesOf(value, name) {
    if (value instanceof Uint8Array) return value;
    if (value instanceof ArrayBuffer) return new Uint8Array(value);
    if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
    throw new CorvaneError("bad-request", `${name} must be a Uint8Array or an ArrayBuffer`);
  }
  function toBase64(bytes) {
    let binary = "";
    for (const byte of bytes) binary += String.fromCharCode(byte);
    return btoa(binary);
  }
  async function keyCall(connection, method, param) {
    let text;
    for (let attempt2 = 0; ; ++attempt2) {
      if (connection.module !== "Quintrel") await connection.load("Quintrel");
      try {
        text = await connection.call(method, param, { timeout: KEY_CALL_TIMEOUT });
        break;
      } catch (error) {
        if (!(error instanceof CorvaneError)) throw error;
        if (error.code === "not-loaded" && attempt2 === 0) {
          await connection.load("Quintrel");
          continue;
        }
        if (error.code !== "call-failed") throw error;
        let failure;
        try {
          failure = JSON.parse(error.response);
        } catch {
          throw error;
        }
        if (!failure || !KEY_ERRORS.has(failure.error)) throw error;
        const details = typeof failure.retriesLeft === "number" ? { retriesLeft: failure.retriesLeft } : {};
        throw new CorvaneError(failure.error, String(failure.message ?? failure.error), details);
      }
    }
    try {
      return JSON.parse(text);
    } catch {
      throw malformed(text);
    }
  }
  async function sign(connection, certificate, hash, hashAlgorithm = "SHA-256") {
    const digest = bytesOf(hash, "hash");
    if (HASH_LENGTHS[hashAlgorithm] !== digest.length) {
      throw new CorvaneError("bad-request", `A ${hashAlgorithm} hash of ${digest.length} bytes cannot be signed`);
    }
    const answer = await keyCall(connection, "Sign", {
      certificate: toBase64(bytesOf(certificate, "certificate")),
      hash: toBase64(digest),
      hashAlgorithm
    });
    if (typeof answer?.signature !== "string" || typeof answer.signatureAlgorithm?.name !== "string") {
      throw malformed(JSON.stringify(answer));
    }
    return { signature: base64Bytes(answer.signature), signatureAlgorithm: answer.signatureAlgorithm };
  }
  async function authenticate(connection, certificate, challenge) {
    const answer = await keyCall(connection, "Authenticate", {
      certificate: toBase64(bytesOf(certificate, "certificate")),
      challenge: typeof challenge === "string" ? challenge : toBase64(bytesOf(challenge, "challenge"))
    });
    if (answer?.format !== "corvane-auth:1" || typeof answer.signature !== "string") {
      throw malformed(JSON.stringify(answer));
    }
    return answer;
  }
  return __toCommonJS(corvane_global_entry_exports);
})();
