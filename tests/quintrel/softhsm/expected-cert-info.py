#!/usr/bin/env python3
"""Prints what GetCertInfo must answer for each certificate, one JSON object
a line, read with the cryptography package rather than with Quintrel's code.

    expected-cert-info.py LABEL:FILE.der ...
"""
import base64
import json
import sys

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID

SHORT_NAMES = {NameOID.COMMON_NAME, NameOID.LOCALITY_NAME, NameOID.STATE_OR_PROVINCE_NAME,
               NameOID.ORGANIZATION_NAME, NameOID.ORGANIZATIONAL_UNIT_NAME, NameOID.COUNTRY_NAME,
               NameOID.STREET_ADDRESS, NameOID.DOMAIN_COMPONENT, NameOID.USER_ID}


def element(der, pos):
    """(tag, content start, end) of the DER element at pos."""
    tag, length = der[pos], der[pos + 1]
    pos += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(der[pos:pos + count], "big")
        pos += count
    return tag, pos, pos + length


def children(der, start, end):
    while start < end:
        tag, content, stop = element(der, start)
        yield start, tag, content, stop
        start = stop


def raw_values(name_der):
    """Per RDN, the whole encoding of each attribute value, in encoded order."""
    _, content, end = element(name_der, 0)
    rdns = []
    for _, _, set_start, set_end in children(name_der, content, end):
        values = []
        for _, _, seq_start, seq_end in children(name_der, set_start, set_end):
            oid, value = list(children(name_der, seq_start, seq_end))
            values.append(name_der[value[0]:value[3]])
        rdns.append(values)
    return rdns


def name_text(name):
    parts = []
    for rdn, raws in zip(name.rdns, raw_values(name.public_bytes())):
        attributes = list(rdn)
        assert len(attributes) == len(raws)
        parts.append("+".join(a.rfc4514_string() if a.oid in SHORT_NAMES
                              else f"{a.oid.dotted_string}=#{raw.hex()}" for a, raw in zip(attributes, raws)))
    return ",".join(reversed(parts))


def serial_as_encoded(der):
    _, content, _ = element(der, 0)
    _, tbs, _ = element(der, content)
    tag, start, stop = element(der, tbs)
    if tag == 0xA0:
        tag, start, stop = element(der, stop)
    return der[start:stop].hex()


def instant(certificate, name):
    value = getattr(certificate, name + "_utc", None) or getattr(certificate, name)
    return value.strftime("%Y-%m-%dT%H:%M:%SZ")


def key_bytes(certificate):
    key = certificate.public_key()
    if isinstance(key, rsa.RSAPublicKey):
        n = key.public_numbers().n
        return n.to_bytes((n.bit_length() + 7) // 8, "big")
    if isinstance(key, ec.EllipticCurvePublicKey):
        return key.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    raise ValueError("no expectation for this key type")


def key_usage(certificate):
    try:
        usage = certificate.extensions.get_extension_for_class(x509.KeyUsage).value
    except x509.ExtensionNotFound:
        return []
    bits = [("digitalSignature", usage.digital_signature), ("nonRepudiation", usage.content_commitment),
            ("keyEncipherment", usage.key_encipherment), ("dataEncipherment", usage.data_encipherment),
            ("keyAgreement", usage.key_agreement), ("keyCertSign", usage.key_cert_sign),
            ("cRLSign", usage.crl_sign)]
    if usage.key_agreement:
        bits += [("encipherOnly", usage.encipher_only), ("decipherOnly", usage.decipher_only)]
    return [name for name, isSet in bits if isSet]


def expected(label, der):
    certificate = x509.load_der_x509_certificate(der)
    names = certificate.subject.get_attributes_for_oid(NameOID.COMMON_NAME)
    return {
        "token": label,
        "serial": serial_as_encoded(der),
        "commonName": names[0].value.split("\0")[0] if names else "",
        "subject": name_text(certificate.subject),
        "issuer": name_text(certificate.issuer),
        "notBefore": instant(certificate, "not_valid_before"),
        "notAfter": instant(certificate, "not_valid_after"),
        "certificate": base64.b64encode(der).decode(),
        "publicKey": base64.b64encode(key_bytes(certificate)).decode(),
        "keyUsage": key_usage(certificate),
    }


for argument in sys.argv[1:]:
    label, path = argument.split(":", 1)
    with open(path, "rb") as file:
        print(json.dumps(expected(label, file.read()), ensure_ascii=False, separators=(",", ":")))
