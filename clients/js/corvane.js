// A client for the Corvane service: one WebSocket, requests answered in
// order, every failure a CorvaneError with a code a page can act on.

const DEFAULT_URL = "ws://127.0.0.1:1237";
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

async function unavailable(url, reason) {
  const permission = await localNetworkPermission();
  const start = "Make sure the Corvane service is installed and running on this computer.";
  const allow = "Allow this site to access apps and services on this device (the browser's site " +
    "settings, local network access); only https pages can be allowed, and a page inside a frame " +
    "also needs allow=\"loopback-network\" on its iframe.";
  const advice = permission === "denied" ? `The browser blocked the connection. ${allow}`
    : permission === "granted" ? start
    : `${start} If it is, the browser may be blocking the connection: ${allow}`;
  return new CorvaneError("unavailable", `Cannot reach the Corvane service at ${url} (${reason}). ${advice}`,
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

export function connect({ url = DEFAULT_URL, timeout = 5000, callTimeout = 60000 } = {}) {
  return new Promise((resolve, reject) => {
    let socket;
    try {
      socket = new WebSocket(url);
    } catch (error) {
      unavailable(url, error.message).then(reject);
      return;
    }
    let done = false;
    const finish = (reason) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      socket.onopen = socket.onclose = socket.onerror = null;
      socket.close();
      unavailable(url, reason).then(reject);
    };
    const timer = setTimeout(() => finish(`no connection within ${timeout} ms`), timeout);
    socket.onerror = () => finish("connection failed");
    socket.onclose = () => finish("connection failed");
    socket.onopen = () => {
      done = true;
      clearTimeout(timer);
      socket.onopen = socket.onerror = null;
      resolve(new Connection(socket, url, callTimeout));
    };
  });
}
