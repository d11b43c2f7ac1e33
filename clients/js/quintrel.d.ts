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
