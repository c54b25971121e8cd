"""The servers of the HTTP seam's contract (tests/http_contract.cpp): the
fault server on a free port, plain and over TLS with a certificate of the
test authority and with a self-signed one, and a port where nothing
listens.

    python3 -m harness.http_contract PROGRAM [FILTER]    (from tests/)

runs the contract's Linux program against them."""

import contextlib
import subprocess
import sys
import types

from . import tls, waiting
from .fault_server import FaultServer


@contextlib.contextmanager
def contract_servers():
    """The servers, as what the contract's programs take: port, closed_port,
    tls_port, ca_file (the authority a client must trust), stranger_port."""
    authority = tls.CertificateAuthority()
    try:
        with FaultServer(port=0) as plain, \
                FaultServer(port=0, certificate=authority.server(tls.GOOD), http_port=plain.port) as secure, \
                FaultServer(port=0, certificate=authority.server(tls.SELF_SIGNED)) as stranger:
            yield types.SimpleNamespace(port=plain.port, closed_port=waiting.free_port(), tls_port=secure.port,
                                        ca_file=authority.ca_file, stranger_port=stranger.port)
    finally:
        authority.remove()


def arguments(servers, ca_file=None):
    """The contract program's command line; ca_file as the program sees it."""
    return [str(servers.port), str(servers.closed_port), str(servers.tls_port), ca_file or servers.ca_file,
            str(servers.stranger_port)]


def main():
    program, rest = sys.argv[1], sys.argv[2:]
    with contract_servers() as servers:
        return subprocess.run([program, *arguments(servers), *rest]).returncode


if __name__ == "__main__":
    sys.exit(main())
