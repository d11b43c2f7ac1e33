// Certificates from the Quintrel plug-in: one GetCertInfo answer, or with an
// older Quintrel its five answers joined into one object per certificate.
import { CorvaneError } from "./corvane.js";

const METHODS = ["Quintrel", "GetCert", "GetCertNotBefore", "GetCertNotAfter", "GetCertPubKey"];
const INFO_METHOD = "GetCertInfo";
// What the service answers when Quintrel does not know the method.
const INFO_UNKNOWN = `[ ${INFO_METHOD} ] function success.`;
const INSTANT = /^(\d{4}-\d{2}-\d{2})T\d{2}:\d{2}:\d{2}Z$/;
const INFO_TEXTS = ["token", "serial", "commonName", "subject", "issuer", "notBefore", "notAfter",
  "certificate", "publicKey"];
const SERIAL_RECORD = /^([0-9a-f]*):([^]*)$/;
const DATE = /^(\d+)-(\d+)-(\d+)$/;

// Every record ends in ";"; an empty text has none.
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

// "2027-3-5" -> "2027-03-05".
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

// The plug-in walks the tokens afresh for every method, in the same order,
// so record i of each answer describes the same certificate unless a token
// came or went in between. Returns undefined when the answers disagree.
function joinCertificates(answers) {
  const [names, ...fields] = [records(answers[0]), ...answers.slice(1).map(serialRecords)];
  const [certificates, notBefore, notAfter, keys] = fields;
  const agree = names.length === certificates.length && fields.every((list) =>
    list.length === certificates.length && list.every((r, i) => r.serial === certificates[i].serial));
  if (!agree) return undefined;
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
    keyUsage: null,
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
    const wellFormed = entry !== null && typeof entry === "object" &&
      INFO_TEXTS.every((name) => typeof entry[name] === "string") &&
      Array.isArray(entry.keyUsage) && entry.keyUsage.every((name) => typeof name === "string");
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
      keyUsage: entry.keyUsage,
    };
  });
}

async function callQuintrel(connection, method) {
  if (connection.module !== "Quintrel") await connection.load("Quintrel");
  try {
    return await connection.call(method);
  } catch (error) {
    // The service no longer holds Quintrel for this connection: load it again once.
    if (!(error instanceof CorvaneError) || error.code !== "not-loaded") throw error;
    await connection.load("Quintrel");
    return connection.call(method);
  }
}

export async function readCertificates(connection) {
  const info = await callQuintrel(connection, INFO_METHOD);
  if (info !== INFO_UNKNOWN) return infoCertificates(info);
  for (let attempt = 0; attempt < 2; ++attempt) {
    const answers = await Promise.all(METHODS.map((method) => connection.call(method)));
    const certificates = joinCertificates(answers);
    if (certificates) return certificates;
  }
  throw new CorvaneError("changed",
    "The certificates changed while they were read (a token was plugged in or pulled out); read them again");
}

export function toPem(certificate) {
  const base64 = btoa(Array.from(certificate, (byte) => String.fromCharCode(byte)).join(""));
  return `-----BEGIN CERTIFICATE-----\n${base64.replace(/.{1,64}/g, "$&\n")}-----END CERTIFICATE-----\n`;
}

// Sign and Authenticate wait for the user at Corvane's PIN prompt, which
// closes itself after 60 s; the call waits longer, so the prompt's own
// answer (timeout, cancelled, ...) arrives rather than ours.
export const KEY_CALL_TIMEOUT = 90000;
const KEY_ERRORS = new Set(["cancelled", "timeout", "pin-incorrect", "pin-locked", "no-key", "key-usage",
  "origin-not-allowed", "no-prompt", "bad-request", "token"]);
const HASH_LENGTHS = { "SHA-256": 32, "SHA-384": 48, "SHA-512": 64 };

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
  for (let attempt = 0; ; ++attempt) {
    if (connection.module !== "Quintrel") await connection.load("Quintrel");
    try {
      text = await connection.call(method, param, { timeout: KEY_CALL_TIMEOUT });
      break;
    } catch (error) {
      if (!(error instanceof CorvaneError)) throw error;
      if (error.code === "not-loaded" && attempt === 0) {
        await connection.load("Quintrel");
        continue;
      }
      if (error.code !== "call-failed") throw error;
      let failure;
      try {
        failure = JSON.parse(error.response);
      } catch {
        throw error; // an older Quintrel that does not know the method
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

export async function sign(connection, certificate, hash, hashAlgorithm = "SHA-256") {
  const digest = bytesOf(hash, "hash");
  if (HASH_LENGTHS[hashAlgorithm] !== digest.length) {
    throw new CorvaneError("bad-request", `A ${hashAlgorithm} hash of ${digest.length} bytes cannot be signed`);
  }
  const answer = await keyCall(connection, "Sign", {
    certificate: toBase64(bytesOf(certificate, "certificate")),
    hash: toBase64(digest),
    hashAlgorithm,
  });
  if (typeof answer?.signature !== "string" || typeof answer.signatureAlgorithm?.name !== "string") {
    throw malformed(JSON.stringify(answer));
  }
  return { signature: base64Bytes(answer.signature), signatureAlgorithm: answer.signatureAlgorithm };
}

export async function authenticate(connection, certificate, challenge) {
  const answer = await keyCall(connection, "Authenticate", {
    certificate: toBase64(bytesOf(certificate, "certificate")),
    challenge: typeof challenge === "string" ? challenge : toBase64(bytesOf(challenge, "challenge")),
  });
  if (answer?.format !== "corvane-auth:1" || typeof answer.signature !== "string") {
    throw malformed(JSON.stringify(answer));
  }
  return answer;
}
