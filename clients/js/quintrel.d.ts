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
  /** The RSA modulus, or the whole key of other kinds (an EC point starting with 04); empty when Quintrel could not take it. */
  publicKey: Uint8Array;
  /**
   * The fields below come from Quintrel's GetCertInfo. They are null when the
   * installed Quintrel is older and the certificates were read its old way.
   */
  /** Label of the token holding the certificate. */
  token: string | null;
  /** The subject as an RFC 4514 string: "CN=Alice Example,O=Corvane Samples,C=DE". */
  subject: string | null;
  /** The issuer, written as the subject is. */
  issuer: string | null;
  /** Start of validity, "YYYY-MM-DDTHH:MM:SSZ". */
  validFrom: string | null;
  /** End of validity, "YYYY-MM-DDTHH:MM:SSZ". */
  validUntil: string | null;
  /**
   * Names of the KeyUsage bits set, in bit order: digitalSignature,
   * nonRepudiation, keyEncipherment, dataEncipherment, keyAgreement,
   * keyCertSign, cRLSign, encipherOnly, decipherOnly. [] without the extension.
   */
  keyUsage: string[] | null;
}

/**
 * Loads Quintrel unless this connection has, and reads every certificate on
 * every token in one call. With a Quintrel that predates GetCertInfo it falls
 * back to five calls; only then can it fail with "changed".
 */
export function readCertificates(connection: Connection): Promise<Certificate[]>;

/** The certificate as PEM text. */
export function toPem(certificate: Uint8Array): string;

/** How long sign() and authenticate() wait: longer than the PIN prompt's 60 s. */
export const KEY_CALL_TIMEOUT: number;

export interface SignatureAlgorithm {
  name: "RSASSA-PKCS1-v1_5" | "ECDSA";
  hash: "SHA-256" | "SHA-384" | "SHA-512";
}

/**
 * Has the token's key sign a hash, after the user typed the PIN into
 * Corvane's own prompt, which names this page's origin. An ECDSA signature is
 * r || s, as WebCrypto's verify() takes it. Fails with a CorvaneError whose
 * code is one of "cancelled", "timeout", "pin-incorrect", "pin-locked",
 * "no-key", "key-usage", "origin-not-allowed", "no-prompt", "bad-request",
 * "token" (with retriesLeft where the token tells), or a connection error.
 */
export function sign(connection: Connection, certificate: Uint8Array | ArrayBuffer, hash: Uint8Array | ArrayBuffer,
  hashAlgorithm?: "SHA-256" | "SHA-384" | "SHA-512"): Promise<{ signature: Uint8Array; signatureAlgorithm: SignatureAlgorithm }>;

/** What to send to the server, which checks it (docs/web-developers.md). */
export interface AuthenticationResponse {
  format: "corvane-auth:1";
  origin: string;
  /** base64 DER */
  certificate: string;
  /** base64 */
  signature: string;
  signatureAlgorithm: SignatureAlgorithm;
}

/**
 * Proves to the server that the user holds the certificate's key: signs
 * SHA-256(origin) || SHA-256(challenge), the challenge (32 to 256 bytes, or
 * its base64) being the server's. Fails as sign() does.
 */
export function authenticate(connection: Connection, certificate: Uint8Array | ArrayBuffer,
  challenge: Uint8Array | ArrayBuffer | string): Promise<AuthenticationResponse>;
