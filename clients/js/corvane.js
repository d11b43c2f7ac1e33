// A client for the Corvane service: one WebSocket, requests answered in
// order, every failure a CorvaneError with a code a page can act on.

// The service takes the first free port of this range, so that every
// session on a shared machine has its own.
const FIRST_PORT = 1237;
const LAST_PORT = 1300;
const PORT_KEY = "corvane.port";
// Chromium delays every new WebSocket of a page the longer, the more of
// them failed before (about 2^n ms after n failures, up to 1 to 5 s each,
// for minutes). The first ports are tried one after another, which costs
// next to nothing and finds the usual service with no failure or one; the
// rest are tried all at once, so that a search of the whole range still
// ends within about 5 s.
const ONE_BY_ONE = 8;
// A listener that completes the handshake and then stays silent is not
// the service, which answers at once.
const PROBE_TIMEOUT = 1000;
const LOAD_SUCCESS = "Load module success";
const LOAD_ERROR = /^Load Module error, can't find module\.Error code: (\d+)$/;
const NOT_LOADED = "Module have not been loaded";

export class CorvaneError extends Error {
  constructor(code, message, details = {}) {
    super(message);
    this.name = "CorvaneError";
    this.code = code;
    Object.assign(this, details);
  }
}

// The browser's answer to "may this page reach local software?", when it
// knows such a permission; undefined elsewhere (older browsers, Node).
async function localNetworkPermission() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions) return undefined;
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      return (await permissions.query({ name })).state;
    } catch {
      // Not a permission this browser knows: try the older name.
    }
  }
  return undefined;
}

async function unavailable(where, reason) {
  const permission = await localNetworkPermission();
  const start = "Make sure the Corvane service is installed and running on this computer.";
  const allow = "Allow this site to access apps and services on this device (the browser's site " +
    "settings, local network access); only https pages can be allowed, and a page inside a frame " +
    "also needs allow=\"loopback-network\" on its iframe.";
  const advice = permission === "denied" ? `The browser blocked the connection. ${allow}`
    : permission === "granted" ? start
    : `${start} If it is, the browser may be blocking the connection: ${allow}`;
  return new CorvaneError("unavailable", `Cannot reach the Corvane service at ${where} (${reason}). ${advice}`,
    permission === undefined ? {} : { permission });
}

// Maps a load answer to its outcome: undefined on success, else the error.
function loadOutcome(answer) {
  if (answer.MsgId === "InvalidSyntax") return invalidRequest(answer);
  if (answer.MsgId !== "LoadModule") return mismatch(answer, "LoadModule");
  if (answer.Result && answer.Response === LOAD_SUCCESS) return undefined;
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
  if (answer.Result) return undefined;
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
    return undefined;
  }
  const wellFormed = answer !== null && typeof answer === "object" && typeof answer.MsgId === "string" &&
    typeof answer.Result === "boolean" && typeof answer.Response === "string";
  return wellFormed ? answer : undefined;
}

// The service answers every request exactly once and in order, so answers
// are matched to a queue of outstanding requests. A request that timed out
// keeps its place: its late answer is consumed and dropped. Anything that
// does not fit ends the connection, so a later answer can never be taken
// for the wrong request.
class Connection {
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
      // A library without Invoke replaces the module the service held: calls
      // reach nothing until the next good load. A file not found leaves it.
      else if (error.code === "invalid-plugin") this.module = null;
      return error;
    }).then(() => undefined);
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
      const request = { msgId, outcome, resolve, reject, settled: false, timer: undefined };
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
      const error = new CorvaneError("protocol", request
        ? `The service sent something that is not an answer: ${String(data).slice(0, 200)}`
        : "The service sent an answer that no request was waiting for");
      if (request) this.#pending.unshift(request);
      this.#fail(error);
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
    this.#closedError = error.code === "closed" ? error
      : new CorvaneError("closed", `The connection to ${this.#url} was ended after an error: ${error.message}`);
    for (const request of this.#pending.splice(0)) {
      clearTimeout(request.timer);
      if (!request.settled) request.reject(error);
    }
    this.#socket.onmessage = this.#socket.onclose = null;
    this.#socket.close();
  }
}

// The port that last reached the service from this origin, where the page
// may use storage at all (sandboxed frames and blocked site data may not).
function rememberedPort() {
  try {
    const port = Number(globalThis.localStorage?.getItem(PORT_KEY));
    return Number.isInteger(port) && port >= FIRST_PORT && port <= LAST_PORT ? port : undefined;
  } catch {
    return undefined;
  }
}

function rememberPort(port) {
  try {
    globalThis.localStorage?.setItem(PORT_KEY, String(port));
  } catch {
    // Not remembered: the next search starts at 1237 again.
  }
}

function portOrder() {
  const remembered = rememberedPort();
  const ports = Array.from({ length: LAST_PORT - FIRST_PORT + 1 }, (_, i) => FIRST_PORT + i);
  return remembered === undefined ? ports : [remembered, ...ports.filter((port) => port !== remembered)];
}

function randomId() {
  const bytes = globalThis.crypto.getRandomValues(new Uint8Array(16));
  return Array.from(bytes, (byte) => byte.toString(16).padStart(2, "0")).join("");
}

// Opens one socket. With verify, the listener must also answer as the
// service does: a call before any load is answered "Module have not been
// loaded" under the call's own MsgId. That passes over listeners that are
// something else; it proves nothing, since any listener can echo the MsgId
// it was sent, and a page cannot ask whose a socket is (corvane-doctor can).
// The probe loads nothing, so the connection is handed over as fresh.
function attempt(url, verify) {
  let cancel = () => {};
  const promise = new Promise((resolve, reject) => {
    const socket = new WebSocket(url);
    let timer;
    let done = false;
    const end = (failure) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      socket.onopen = socket.onmessage = socket.onerror = socket.onclose = null;
      if (failure === undefined) {
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
      socket.onmessage = (event) => end(event.data === expected ? undefined : "not the Corvane service");
      timer = setTimeout(() => end("not the Corvane service"), PROBE_TIMEOUT);
      socket.send(JSON.stringify({ MsgId: msgId, Method: "probe" }));
    };
  });
  return { promise, cancel: () => cancel() };
}

// Tries the candidates in order, one at a time until ONE_BY_ONE of them
// have failed and then the rest at once; settles with the first that
// succeeds and closes the others.
function search(candidates, { verify, timeout }) {
  return new Promise((resolve, reject) => {
    const running = new Set();
    let next = 0;
    let failed = 0;
    let done = false;
    let lastFailure = "connection failed";
    const finish = (failure, found) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      for (const tried of running) tried.cancel();
      if (failure === undefined) resolve(found);
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
          else finish(undefined, { socket, ...candidate });
        }, (error) => {
          running.delete(tried);
          if (done) return;
          failed += 1;
          lastFailure = error.message;
          // A browser that blocks this page from loopback blocks every port.
          if (failed === 1 && candidates.length > 1) {
            localNetworkPermission().then((state) => (state === "denied" ? finish(lastFailure) : launch()));
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

// Without a url, finds this user's own service on 127.0.0.1: another
// session's service takes a later port of the range and refuses this user.
// The search gets longer by default: after failed sockets Chromium may hold
// a new one back for up to 5 s before it even starts.
export function connect({ url, timeout = url === undefined ? 10000 : 5000, callTimeout = 60000 } = {}) {
  const discover = url === undefined;
  const candidates = discover
    ? portOrder().map((port) => ({ port, url: `ws://127.0.0.1:${port}` }))
    : [{ url: String(url) }];
  return search(candidates, { verify: discover, timeout }).then((found) => {
    if (discover) rememberPort(found.port);
    return new Connection(found.socket, found.url, callTimeout);
  }, async (error) => {
    throw await unavailable(discover ? `ws://127.0.0.1, ports ${FIRST_PORT} to ${LAST_PORT}` : String(url), error.message);
  });
}
