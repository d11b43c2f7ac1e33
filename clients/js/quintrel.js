// Certificates from the Quintrel plug-in: its five answers joined into one
// object per certificate.
import { CorvaneError } from "./corvane.js";

const METHODS = ["Quintrel", "GetCert", "GetCertNotBefore", "GetCertNotAfter", "GetCertPubKey"];
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
  }));
}

export async function readCertificates(connection) {
  if (connection.module !== "Quintrel") await connection.load("Quintrel");
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
