#!/usr/bin/env python3
"""Writes an unsigned placeholder catalog: a DER-encoded PKCS#7 ContentInfo of
type signed-data with no certificates and no signers, its encapsulated
content of type data holding only the mark by which pkgcheck tells it from
a catalog.  It has the shape of a catalog file and signs nothing; a vendor
replaces it with the signed catalog made from their INF and driver files.

  placeholder_catalog.py OUTPUT
"""
import sys


def der(tag, content):
    length = len(content)
    if length < 0x80:
        header = bytes([length])
    else:
        octets = length.to_bytes((length.bit_length() + 7) // 8, "big")
        header = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + header + content


SEQUENCE, SET, OID, INTEGER, OCTET_STRING, EXPLICIT_0 = 0x30, 0x31, 0x06, 0x02, 0x04, 0xA0
SIGNED_DATA = bytes.fromhex("2A864886F70D010702")   # 1.2.840.113549.1.7.2
DATA = bytes.fromhex("2A864886F70D010701")          # 1.2.840.113549.1.7.1
MARK = b"MPIO-EXAMPLE-PLACEHOLDER: the example package's catalog, signs nothing"


def placeholder():
    signed_data = der(SEQUENCE,
                      der(INTEGER, b"\x01")            # version
                      + der(SET, b"")                  # digestAlgorithms
                      + der(SEQUENCE, der(OID, DATA) + der(EXPLICIT_0, der(OCTET_STRING, MARK)))
                      + der(SET, b""))                 # signerInfos
    return der(SEQUENCE, der(OID, SIGNED_DATA) + der(EXPLICIT_0, signed_data))


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(placeholder())
