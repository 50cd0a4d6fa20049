"""A throwaway certificate authority for the TLS tests, made fresh in a directory: a CA, a
server certificate for 127.0.0.1 and localhost, and the certificates a client must refuse
(signed by another CA, for another name, expired). Nothing here is committed or outlives a
test run."""
from __future__ import annotations

import datetime
import ipaddress
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

DAY = datetime.timedelta(days=1)


def _key():
    return ec.generate_private_key(ec.SECP256R1())


def _name(common: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common)])


def _write_key(key, path: Path) -> None:
    path.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                       serialization.PrivateFormat.PKCS8,
                                       serialization.NoEncryption()))
    path.chmod(0o600)


class Authority:
    def __init__(self, directory: Path, name: str):
        self.directory, self.key = directory, _key()
        now = datetime.datetime.now(datetime.timezone.utc)
        self.cert = (x509.CertificateBuilder().subject_name(_name(name)).issuer_name(_name(name))
                     .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
                     .not_valid_before(now - DAY).not_valid_after(now + 30 * DAY)
                     .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                     .add_extension(x509.KeyUsage(True, False, False, False, False, True, True,
                                                  False, False), critical=True)
                     .add_extension(x509.SubjectKeyIdentifier.from_public_key(
                         self.key.public_key()), critical=False)
                     .sign(self.key, hashes.SHA256()))
        self.path = directory / f"{name}.ca.pem"
        self.path.write_bytes(self.cert.public_bytes(serialization.Encoding.PEM))

    def server(self, name: str, hosts=("127.0.0.1", "localhost"), expired=False):
        """(certificate path, key path) of a server certificate for `hosts`."""
        key, now = _key(), datetime.datetime.now(datetime.timezone.utc)
        start, end = (now - 10 * DAY, now - DAY) if expired else (now - DAY, now + 30 * DAY)
        sans = [x509.IPAddress(ipaddress.ip_address(h)) if h[0].isdigit() else x509.DNSName(h)
                for h in hosts]
        cert = (x509.CertificateBuilder().subject_name(_name(name)).issuer_name(self.cert.subject)
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(start).not_valid_after(end)
                .add_extension(x509.SubjectAlternativeName(sans), critical=False)
                .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                               critical=False)
                .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                    self.key.public_key()), critical=False)
                .sign(self.key, hashes.SHA256()))
        cert_path, key_path = self.directory / f"{name}.pem", self.directory / f"{name}.key"
        cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
        _write_key(key, key_path)
        return cert_path, key_path


def listener(port: int, cert: Path, key: Path, ca: Path, websockets: bool = False) -> list[str]:
    """mosquitto configuration lines for a TLS listener on 127.0.0.1."""
    lines = [f"listener {port} 127.0.0.1", f"cafile {ca}", f"certfile {cert}", f"keyfile {key}"]
    return lines + (["protocol websockets"] if websockets else [])
