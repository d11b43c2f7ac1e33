#!/usr/bin/python3
"""A smart card holding X.509 certificates in a PKCS#15 file system, on the
ISO 7816 card emulation of Debian's python3-virtualsmartcard, connected to
the virtual reader driver (vpcd) in pcscd. Inserting the card is starting
this program; removing it is ending it.

    pkcs15-card.py [--port 35963] [--label LABEL] CERT.der ...

File system: MF 3F00 / DF 5015 holding the object directory (5031), the
token information (5032), the certificate directory (4404) and one file per
certificate (4301, 4302, ...). The card is read-only and has no keys: only
what a public session sees is on it. The emulation's own card types do not
serve: its "iso7816" card fails on the first SELECT (see Card.select).
"""
import argparse
import socket
import struct
import sys
import time

# Debian installs the package one directory below site-packages, outside
# sys.path.
sys.path.insert(0, "/usr/lib/python3/site-packages/virtualsmartcard")
# The emulation imports the crypto package as Crypto; Debian's
# python3-pycryptodome provides it as Cryptodome. Nothing here uses it, but
# the import must succeed.
import Cryptodome  # noqa: E402

sys.modules.setdefault("Crypto", Cryptodome)

from virtualsmartcard.SmartcardFilesystem import DF, MF, TransparentStructureEF  # noqa: E402
from virtualsmartcard.SWutils import SwError  # noqa: E402
from virtualsmartcard.VirtualSmartcard import Iso7816OS  # noqa: E402


def tlv(tag, value):
    """One DER element (short tag)."""
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + length + value


def sequence(*members):
    return tlv(0x30, b"".join(members))


def path(*fids):
    return sequence(tlv(0x04, b"".join(fid.to_bytes(2, "big") for fid in fids)))


def file_system(label, certificates):
    mf = MF()
    app = DF(mf, 0x5015, dfname=bytes.fromhex("A000000063504B43532D3135"))
    mf.append(app)

    def ef(fid, data):
        app.append(TransparentStructureEF(app, fid, data=data))

    # TokenInfo: version 0, serial, manufacturer, [0] label, flags readOnly.
    ef(0x5032, sequence(tlv(0x02, b"\x00"), tlv(0x04, b"\x20\x26\x12\x09"), tlv(0x0C, b"Corvane tests"),
                        tlv(0x80, label.encode()), tlv(0x03, b"\x07\x80")))
    # The object directory names one certificate directory.
    ef(0x5031, tlv(0xA4, path(0x3F00, 0x5015, 0x4404)))
    entries = b""
    for n, der in enumerate(certificates, start=1):
        fid = 0x4300 + n
        ef(fid, der)
        # X.509 certificate object: label, iD, and the file holding the value.
        entries += sequence(sequence(tlv(0x0C, ("Certificate %d" % n).encode())),
                            sequence(tlv(0x04, bytes([n]))),
                            tlv(0xA1, sequence(path(0x3F00, 0x5015, fid))))
    ef(0x4404, entries)
    return mf


class Card(Iso7816OS):
    """Only what reading needs: SELECT, READ BINARY, GET RESPONSE. No security
    module, which would import the crypto package under a name Debian's
    python3-pycryptodome does not provide."""

    def __init__(self, mf):
        super().__init__(mf, None, ins2handler={
            0xA4: self.select,
            0xB0: mf.readBinaryPlain,
            0xC0: self.getResponse,
        })

    def select(self, p1, p2, data):
        # The emulation's file control information fails to encode (in
        # TLVutils.pack) for every answer but "no data"; the selection
        # itself works, so the file is selected and the FCP built here.
        p2_none = 0x0C
        sw, _ = self.mf.selectFile(p1, p2_none, data)
        if (p2 & 0x0C) == p2_none:
            return sw, b""
        selected = self.mf.current
        fcp = tlv(0x83, selected.fid.to_bytes(2, "big"))
        if isinstance(selected, TransparentStructureEF):
            size = len(selected.data).to_bytes(2, "big")
            fcp += tlv(0x80, size) + tlv(0x82, b"\x01")
        else:
            fcp += tlv(0x82, b"\x38")
        return sw, tlv(0x62, fcp)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=35963)
    parser.add_argument("--label", default="Corvane Card")
    parser.add_argument("certificates", nargs="+")
    args = parser.parse_args()
    certificates = []
    for name in args.certificates:
        with open(name, "rb") as f:
            certificates.append(f.read())
    card = Card(file_system(args.label, certificates))

    # The reader driver may still be starting with pcscd.
    deadline = time.monotonic() + 10
    while True:
        try:
            sock = socket.create_connection(("127.0.0.1", args.port))
            break
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)
    # Every APDU is a small write waiting for its answer: with Nagle's
    # algorithm and delayed acknowledgements on this link each exchange
    # stalls, and reading the card takes ten times as long.
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def receive(n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                sys.exit(0)
            data += chunk
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        return data

    def send(message):
        sock.sendall(struct.pack("!H", len(message)) + message)

    while True:
        size = struct.unpack("!H", receive(2))[0]
        message = receive(size) if size else b""
        if size == 1:
            control = message[0]
            if control in (1, 2):      # power on, reset
                card.reset()
            elif control == 4:         # the answer to reset
                send(card.getATR())
        elif size > 1:
            send(card.execute(message))


if __name__ == "__main__":
    try:
        main()
    except SwError as e:
        sys.exit("card: %s" % e)
