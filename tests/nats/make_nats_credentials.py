#!/usr/bin/python3
"""Makes a decentralised NATS setup in DIR for the tests, with no NATS tool:
an operator, an account it signs, a user the account signs, and a user
signed by a second account that the server does not know.

  make_nats_credentials.py DIR

writes DIR/operator.jwt, DIR/account.jwt, DIR/account.pub (the account's
public key), DIR/server.conf (nats-server: the operator, the account
preloaded in a memory resolver), DIR/user.creds and DIR/stranger.creds.
Exits 77 when python3-cryptography (Ed25519) is missing.

nkeys: a public key is base32 (no padding) of its type's prefix byte, the
32-byte Ed25519 public key and a CRC-16 (XMODEM, little-endian) of both; a
seed is base32 of two bytes (the seed prefix with the type's prefix), the
32-byte Ed25519 seed and the CRC-16. A JWT is header.claims.signature, each
base64url without padding, the signature the issuer's Ed25519 signature of
"header.claims".
"""

import base64
import hashlib
import json
import os
import sys
import time

try:
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
except ImportError:
    print("python3-cryptography with Ed25519 is missing", file=sys.stderr)
    sys.exit(77)

PREFIX_SEED = 18 << 3
PREFIX_OPERATOR = 14 << 3
PREFIX_ACCOUNT = 0
PREFIX_USER = 20 << 3


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def base32(data):
    return base64.b32encode(data).decode().rstrip("=")


def with_crc(data):
    return data + crc16(data).to_bytes(2, "little")


def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


class KeyPair:
    def __init__(self, prefix):
        self.key = Ed25519PrivateKey.generate()
        raw_seed = self.key.private_bytes(serialization.Encoding.Raw, serialization.PrivateFormat.Raw,
                                          serialization.NoEncryption())
        raw_public = self.key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
        self.public = base32(with_crc(bytes([prefix]) + raw_public))
        self.seed = base32(with_crc(bytes([PREFIX_SEED | (prefix >> 5), (prefix & 31) << 3]) + raw_seed))


def jwt(issuer, subject, name, nats):
    claims = {"iat": int(time.time()), "iss": issuer.public, "name": name, "sub": subject.public, "nats": nats}
    # The id: the hash of the claims without it.
    claims["jti"] = base32(hashlib.sha256(json.dumps(claims, sort_keys=True).encode()).digest())
    header = b64url(json.dumps({"typ": "JWT", "alg": "ed25519-nkey"}).encode())
    body = header + "." + b64url(json.dumps(claims, sort_keys=True).encode())
    return body + "." + b64url(issuer.key.sign(body.encode()))


# -1: no limit. No permissions: the user may publish and subscribe to anything.
ACCOUNT = {"type": "account", "version": 2,
           "limits": {"subs": -1, "data": -1, "payload": -1, "imports": -1, "exports": -1, "wildcards": True,
                      "conn": -1, "leaf": -1}}
USER = {"type": "user", "version": 2, "subs": -1, "data": -1, "payload": -1}


def creds(token, user):
    return ("-----BEGIN NATS USER JWT-----\n" + token + "\n------END NATS USER JWT------\n\n"
            "-----BEGIN USER NKEY SEED-----\n" + user.seed + "\n------END USER NKEY SEED------\n")


def write(path, text):
    with open(path, "w") as out:
        out.write(text)
    os.chmod(path, 0o600)


def main():
    if len(sys.argv) != 2:
        print("usage: make_nats_credentials.py DIR", file=sys.stderr)
        return 2
    folder = sys.argv[1]
    operator, account, user = KeyPair(PREFIX_OPERATOR), KeyPair(PREFIX_ACCOUNT), KeyPair(PREFIX_USER)
    stranger_account, stranger = KeyPair(PREFIX_ACCOUNT), KeyPair(PREFIX_USER)
    account_jwt = jwt(operator, account, "tellivar-test", ACCOUNT)
    write(os.path.join(folder, "operator.jwt"),
          jwt(operator, operator, "tellivar-test-operator", {"type": "operator", "version": 2}) + "\n")
    write(os.path.join(folder, "account.jwt"), account_jwt + "\n")
    write(os.path.join(folder, "account.pub"), account.public + "\n")
    write(os.path.join(folder, "server.conf"),
          'operator: "%s"\nresolver: MEMORY\nresolver_preload: {\n  %s: "%s"\n}\n'
          % (os.path.join(folder, "operator.jwt"), account.public, account_jwt))
    write(os.path.join(folder, "user.creds"), creds(jwt(account, user, "tellivar-desk", USER), user))
    # Signed by an account the operator never signed and the server never heard of.
    write(os.path.join(folder, "stranger.creds"),
          creds(jwt(stranger_account, stranger, "tellivar-stranger", USER), stranger))
    return 0


if __name__ == "__main__":
    sys.exit(main())
