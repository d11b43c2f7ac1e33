import type { Connection } from "./corvane.js";

export interface Certificate {
  /** Lower-case hex of the encoded serial number, a leading 00 octet included. */
  serial: string;
  /** The subject's common name; "" when it has none. */
  commonName: string;
  /** "YYYY-MM-DD", UTC. */
  notBefore: string;
  /** "YYYY-MM-DD", UTC. */
  notAfter: string;
  /** The certificate's DER. */
  certificate: Uint8Array;
  /** The RSA modulus, or the whole key of other kinds (an EC point starting with 04). */
  publicKey: Uint8Array;
}

/** Loads Quintrel unless this connection has, and reads every certificate on every token. */
export function readCertificates(connection: Connection): Promise<Certificate[]>;

/** The certificate as PEM text. */
export function toPem(certificate: Uint8Array): string;
