// The HTTP seam's contract (tests/http_contract.cpp) against the WinHTTP
// client (http_winhttp.cpp), with the test authority among the machine's
// trusted roots as an administrator would deploy a private one.
// tests/windows/run.py starts the servers and runs it under Wine.
//   http_win_test <server port> <closed port> <TLS server port> <test authority (PEM)>
//                 <TLS server port with a self-signed certificate> [filter]
#include <windows.h>
// After <windows.h>, which it needs.
#include <wincrypt.h>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "http_contract.h"

namespace {

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

bool UnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Adds the certificate in a PEM file to the machine's trusted roots.
bool Trust(const std::string& certificateFile) {
    std::ifstream in(certificateFile, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr)) {
        return false;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr)) {
        return false;
    }
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) return false;
    const bool added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != 0;
    CertCloseStore(store, 0);
    return added;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::cerr << "usage: http_win_test <server port> <closed port> <TLS server port> <authority> "
                     "<TLS server port, self-signed certificate> [filter]\n";
        return 2;
    }
    ContractServers servers;
    servers.port = std::stoi(argv[1]);
    servers.closedPort = std::stoi(argv[2]);
    servers.tlsPort = std::stoi(argv[3]);
    servers.strangerPort = std::stoi(argv[5]);
    // Trusted before anything runs, as on a machine where it was deployed.
    if (!Trust(argv[4])) {
        std::cerr << "could not trust " << argv[4] << "\n";
        return 2;
    }
    const Backend backend = UnderWine() ? Backend::WineWinHttp : Backend::WinHttp;
    return RunHttpContract(servers, {backend, &CpuSeconds}, argc > 6 ? argv[6] : "");
}
