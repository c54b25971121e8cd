// The HTTP seam's contract (transfer/http.h): what every backend reports of
// the same exchanges with the scripted paths of the harness's fault server
// (tests/harness/fault_server.py). http_contract_test runs the rows against
// libcurl, http_win_test.exe against WinHTTP under Wine.
#pragma once

#include <string>

enum class Backend { Curl, WinHttp, WineWinHttp };

// Where the harness's servers listen (tests/harness/http_contract.py).
struct ContractServers {
    int port = 0;          // plain http
    int closedPort = 0;    // nothing listens there
    int tlsPort = 0;       // https with a certificate of the test authority
    int strangerPort = 0;  // https with a self-signed certificate
    // The test authority's certificate (PEM) for the client to trust; empty
    // when the platform's store already trusts it.
    std::string caFile;
};

// What only the platform tells.
struct ContractPlatform {
    Backend backend = Backend::Curl;
    double (*cpuSeconds)() = nullptr;  // processor time the process has used
};

// Runs the rows whose "group.name" contains filter (all when empty); the
// last line printed is "N passed, N failed". Returns 0 when all passed.
int RunHttpContract(const ContractServers& servers, const ContractPlatform& platform,
                    const std::string& filter);
