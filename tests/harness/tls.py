"""Certificates for the https tests, made with the openssl tool when a suite
starts: a certificate authority of its own, and server certificates that the
updater must accept or refuse. Shared by the Linux and the Windows suites."""

import os
import shutil
import subprocess
import tempfile

HOST = "127.0.0.1"
# The server's name as the certificates give it. OpenSSL matches an address
# in the URL only against the IP entries; Wine's crypt32 only against the DNS
# entries (Windows itself takes either), so the address is given as both.
HOST_NAMES = "IP:%s, DNS:%s" % (HOST, HOST)

# The server certificates, by the name the tests use.
GOOD = "good"
OTHER_NAME = "other-name"
EXPIRED = "expired"
SELF_SIGNED = "self-signed"
REFUSED = (OTHER_NAME, EXPIRED, SELF_SIGNED)

_SERVER_EXTENSIONS = """basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = %s
"""

# `openssl ca` rather than `openssl x509 -req`: OpenSSL 3.0's x509 command
# cannot set a start date in the past, which an expired certificate needs.
_CA_CONFIG = """[ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = issued
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
rand_serial = yes
[any_name]
commonName = supplied
"""


def _openssl(folder, *arguments):
    done = subprocess.run(["openssl", *arguments], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (arguments[0], done.stdout.decode(errors="replace")))


class CertificateAuthority:
    """A certificate authority and four server certificates, in a temporary
    folder:
      good         for 127.0.0.1, signed by the authority, valid now
      other-name   signed by the authority, valid now, for another host name
      expired      for 127.0.0.1, signed by the authority, expired in 2021
      self-signed  for 127.0.0.1, valid now, signed by its own key
    ca_file is the authority's certificate (PEM), the one file a client trusts;
    server(name) gives (certificate file, key file) for the server. The
    servers' keys are EC P-256: quick to make; the authority's is RSA (below)."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tls-")
        os.chmod(self.folder, 0o755)
        os.makedirs(os.path.join(self.folder, "issued"))
        open(os.path.join(self.folder, "index.txt"), "w").close()
        with open(os.path.join(self.folder, "ca.cnf"), "w") as f:
            f.write(_CA_CONFIG)
        self.ca_file = os.path.join(self.folder, "ca.pem")
        # RSA: the signatures on the chain a client may accept then have one
        # length. Wine 8's crypt32 joins an ECDSA signature's r and s at their
        # encoded lengths for BCryptVerifySignature, so one signature in about
        # 128, whose r or s starts with a zero byte, arrives a byte short and
        # is refused.
        _openssl(self.folder, "req", "-x509", "-new", *self._new_key("ca.key", rsa=True), "-out", "ca.pem",
                 "-days", "30", "-subj", "/CN=Kestralon test authority",
                 "-addext", "basicConstraints = critical, CA:TRUE",
                 "-addext", "keyUsage = critical, keyCertSign, cRLSign")
        self._signed(GOOD, HOST, HOST_NAMES, "-days", "30")
        self._signed(OTHER_NAME, "updates.example.org", "DNS:updates.example.org", "-days", "30")
        self._signed(EXPIRED, HOST, HOST_NAMES, "-startdate", "20200101000000Z", "-enddate", "20210101000000Z")
        _openssl(self.folder, "req", "-x509", "-new", *self._new_key(SELF_SIGNED + ".key"),
                 "-out", SELF_SIGNED + ".pem", "-days", "30", "-subj", "/CN=" + HOST,
                 "-addext", "subjectAltName = " + HOST_NAMES, "-addext", "extendedKeyUsage = serverAuth")
        for name in os.listdir(self.folder):
            if name.endswith((".pem", ".key")):
                os.chmod(os.path.join(self.folder, name), 0o644)

    @staticmethod
    def _new_key(name, rsa=False):
        kind = ["rsa:2048"] if rsa else ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
        return ["-newkey", *kind, "-nodes", "-keyout", name]

    def _signed(self, name, common_name, alt_name, *validity):
        extensions = name + ".ext"
        with open(os.path.join(self.folder, extensions), "w") as f:
            f.write(_SERVER_EXTENSIONS % alt_name)
        _openssl(self.folder, "req", "-new", *self._new_key(name + ".key"), "-out", name + ".csr",
                 "-subj", "/CN=" + common_name)
        _openssl(self.folder, "ca", "-batch", "-notext", "-config", "ca.cnf", "-in", name + ".csr",
                 "-out", name + ".pem", "-extfile", extensions, *validity)

    def server(self, name):
        return os.path.join(self.folder, name + ".pem"), os.path.join(self.folder, name + ".key")

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def nginx_listen(port, certificate, key):
    """What replaces deploy/nginx.conf's `listen` line for https on port:
    TLS, and HTTP/2 for the clients that offer it."""
    return ("listen %s:%d ssl http2;\n"
            "        ssl_certificate %s;\n"
            "        ssl_certificate_key %s;" % (HOST, port, certificate, key))
