// The HTTP seam's contract (http_contract.cpp) against the libcurl backend,
// the client trusting the test authority by its file as a private
// deployment's build does. tests/harness/http_contract.py starts the servers.
//   http_contract_test <server port> <closed port> <TLS server port> <test authority (PEM)>
//                      <TLS server port with a self-signed certificate> [filter]
#include <ctime>
#include <iostream>
#include <string>

#include "http_contract.h"

namespace {

// The processor time of the whole process: std::clock measures it on POSIX
// systems.
double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::cerr << "usage: http_contract_test <server port> <closed port> <TLS server port> <authority> "
                     "<TLS server port, self-signed certificate> [filter]\n";
        return 2;
    }
    ContractServers servers;
    servers.port = std::stoi(argv[1]);
    servers.closedPort = std::stoi(argv[2]);
    servers.tlsPort = std::stoi(argv[3]);
    servers.caFile = argv[4];
    servers.strangerPort = std::stoi(argv[5]);
    return RunHttpContract(servers, {Backend::Curl, &CpuSeconds}, argc > 6 ? argv[6] : "");
}
