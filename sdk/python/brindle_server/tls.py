"""What a tls:// server shows its clients: a certificate and key, given or made fresh at start, and
the pin (the SHA-256 of the certificate's DER encoding) that the session file carries so that a
client sends its token only to this server."""

import hashlib
import os
import re
import shutil
import ssl
import subprocess
import tempfile

_FIRST_PEM_CERTIFICATE = re.compile(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", re.DOTALL)
# The same key type and lifetime brindle-server's fresh certificates have.
_FRESH_CERTIFICATE = ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-days", "3650", "-subj", "/CN=brindle-server"]


class CertificateError(Exception):
    """A certificate or key that cannot be served, with what to do about it."""


class ServerCertificate:
    def __init__(self, context, pin):
        self.context = context
        self.pin = pin

    @classmethod
    def load(cls, certificate, key):
        """The PEM certificate (chain; the first is the server's) and its key."""
        try:
            with open(certificate, "rb") as file:
                pem = file.read()
        except OSError as error:
            raise CertificateError(f"cannot read the TLS certificate {certificate}: {error.strerror}") from None
        first = _FIRST_PEM_CERTIFICATE.search(pem)
        if first is None:
            raise CertificateError(f"{certificate} holds no PEM certificate")
        try:
            der = ssl.PEM_cert_to_DER_cert(first.group(0).decode("ascii"))
        except ValueError:
            raise CertificateError(f"{certificate} holds no readable PEM certificate") from None
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_3
        try:
            context.load_cert_chain(certificate, key)
        except (OSError, ssl.SSLError) as error:
            raise CertificateError(f"cannot use {certificate} with the key {key}: {error}; "
                                   "give a PEM certificate and the unencrypted PEM key it was made for") from None
        return cls(context, "sha256:" + hashlib.sha256(der).hexdigest())

    @classmethod
    def fresh(cls):
        """A new key and self-signed certificate, made by the openssl command and kept only in
        memory once loaded: a restart shows a new pin."""
        openssl = shutil.which("openssl")
        if openssl is None:
            raise CertificateError("a fresh TLS certificate needs the openssl command: install it, "
                                   "or give a certificate and key (--tls-cert, --tls-key)")
        with tempfile.TemporaryDirectory(prefix="brindle-tls-") as directory:
            certificate, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
            made = subprocess.run([openssl, *_FRESH_CERTIFICATE, "-keyout", key, "-out", certificate],
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if made.returncode != 0:
                raise CertificateError(f"openssl could not make a certificate: {made.stderr.strip()}")
            return cls.load(certificate, key)
