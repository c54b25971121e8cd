// Fetching one repository file into the game folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The repository URL, ending in "/"; remote names are appended to it.
extern std::string BaseUrl;

// Fetches BaseUrl + remote into ProgramFolder + "\" + local, creating the
// folders it needs. The file appears whole or not at all: the body goes to a
// temporary file beside the target, which replaces the target only once the
// response is complete and checked. Shows the percentage in Label4 and, at the
// end, "Téléchargement <remote>!" in L3. A blank local name does nothing.
// Throws UpdateFailure with the French reason, or RunCancelled when the
// window is closed meanwhile.
void DownloadFile(const std::string& remote, const std::string& local);

// The remote name as it goes into the request line: "\" and "/" stay raw
// (the repository's "files\" prefix is literal); blanks, controls, '#', '?',
// '%' and non-ASCII bytes are percent-encoded.
std::string EncodeRemoteName(std::string_view remote);

// The percentage shown for done of expected bytes: the integer part of
// (done / expected) * 100, with the quotient rounded to a double first.
int TransferPercent(std::uint64_t done, std::uint64_t expected);

// Drops the kept connection; the next transfer opens a new one.
void CloseTransfers();
