// Every text the player reads, in French: the window's title and status
// lines, its two message boxes, and every reason a run stops early. Callers
// pass only what varies (a name, a number); a name is passed as it is to be
// shown (Printable() where it comes from a list). Below every layer, like
// failure.h: each layer words its failures here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace texts {

// ---- The window and its message boxes ----------------------------------

// The title of the window and of its message boxes.
inline constexpr const char* kAppTitle = "Mise à jours automatique";
// The message boxes' only button.
inline constexpr const char* kOkButton = "OK";
std::string GameMissing();
std::string UpdateNotFinished();

// ---- The status lines ------------------------------------------------------

std::string Searching();
std::string CheckingVersions();
// A repository file has arrived.
std::string Fetched(std::string_view remote);
std::string Percent(int percent);
// The file shown first (L2) and its place among all listed (L3).
std::string Downloading(std::string_view entry);
std::string FileCounter(std::int64_t number, std::int64_t count);
std::string ServerBusy(int secondsLeft);
std::string UpdatedTo(std::int16_t version);
std::string DownloadFinished();
std::string UpToDate();
std::string CheckingFiles(std::size_t done, std::size_t total);
std::string RepairFinished();
std::string AllFilesIntact();
std::string FilesReplaced(std::size_t replaced);
// L2 once a run has stopped early; L3 then shows the reason.
std::string UpdateFailed();

// ---- Why a run stopped -----------------------------------------------------

std::string UnexpectedError();
std::string AnotherUpdateRunning();
std::string RepairNeedsSignatures();
// A repair that replaced what it could; something is in the way of the file
// named (and of `others` more, when there are).
std::string RepairBlocked(std::size_t replaced, std::string_view name, std::size_t others);
std::string CannotWrite(std::string_view name);
// A write of `name` refused for lack of space on the disk; with what the
// file needs when that is known (0: not known).
std::string NoSpaceFor(std::string_view name, std::uint64_t neededMiB = 0);
// CannotWrite, or NoSpaceFor when the disk was full.
std::string WriteRefused(std::string_view name, bool diskFull);
std::string CannotRead(std::string_view name);
std::string CannotRecordVersion(std::int16_t version);
std::string NoMemory();
std::string DiskFull(std::uint64_t missingMiB, std::uint64_t neededMiB, std::uint64_t freeMiB);
std::string BadVersion(std::string_view text);
std::string UnreadableIndex(std::string_view name);
std::string RefusedPath(std::string_view entry);
std::string TooManyFiles(std::size_t most);

// The server and the transfers.
std::string Unreachable();
std::string ServerAnswered(long status, std::string_view remote);
std::string TransferCut(std::string_view remote);
std::string TimedOut(std::string_view remote);
std::string NoLength(std::string_view remote);
std::string TooManyRedirects(std::string_view remote);
std::string RedirectRefused(std::string_view remote);
std::string BadResponse(std::string_view remote);
std::string CertificateRefused();
std::string CompressedContentRefused(std::string_view remote);
std::string UnexpectedPartialAnswer(std::string_view remote);
std::string FileTooLarge(std::string_view remote, std::uint64_t mostKiB);

// Signatures and the files they vouch for.
std::string Altered(std::string_view entry);
std::string NotSigned(std::string_view entry);
std::string BadSignature(std::string_view file);
std::string BadPublicKey();
std::string Expired();
std::string OtherChannel(std::string_view channel);
std::string OlderThanAccepted();

}  // namespace texts
