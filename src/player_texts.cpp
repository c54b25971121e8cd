#include "player_texts.h"

namespace texts {

namespace {

// "<before><name><after>", the common shape of the reasons.
std::string Around(std::string_view before, std::string_view name, std::string_view after) {
    std::string text;
    text.reserve(before.size() + name.size() + after.size());
    text.append(before).append(name).append(after);
    return text;
}

}  // namespace

std::string GameMissing() {
    return "kestralon.exe est introuvable!";
}

std::string UpdateNotFinished() {
    return "La mise à jour ne semble pas terminée, certains fichiers risquent d'être invalides.";
}

std::string Searching() {
    return "Recherche des nouvelles...";
}

std::string CheckingVersions() {
    return "Vérification des versions des fichiers...";
}

std::string Fetched(std::string_view remote) {
    return Around("Téléchargement ", remote, "!");
}

std::string Percent(int percent) {
    return std::to_string(percent) + "%";
}

std::string Downloading(std::string_view entry) {
    return Around("Téléchargement de ", entry, "...");
}

std::string FileCounter(std::int64_t number, std::int64_t count) {
    return "Fichier de téléchargement: " + std::to_string(number) + " sur " + std::to_string(count);
}

std::string ServerBusy(int secondsLeft) {
    return "Serveur occupé, nouvel essai dans " + std::to_string(secondsLeft) + " s...";
}

std::string UpdatedTo(std::int16_t version) {
    return "Mise à jours à la version " + std::to_string(version) + "!";
}

std::string DownloadFinished() {
    return "Téléchargement terminé!";
}

std::string UpToDate() {
    return "Tu as la dernière version!";
}

std::string CheckingFiles(std::size_t done, std::size_t total) {
    return "Vérification des fichiers: " + std::to_string(done) + " sur " + std::to_string(total);
}

std::string RepairFinished() {
    return "Réparation terminée!";
}

std::string AllFilesIntact() {
    return "Tous les fichiers sont intacts!";
}

std::string FilesReplaced(std::size_t replaced) {
    return std::to_string(replaced) + " fichier(s) remplacé(s).";
}

std::string UpdateFailed() {
    return "Échec de la mise à jour.";
}

std::string UnexpectedError() {
    return "Erreur inattendue.";
}

std::string AnotherUpdateRunning() {
    return "Une autre mise à jour est déjà en cours dans ce dossier.";
}

std::string RepairNeedsSignatures() {
    return "Réparation impossible: les fichiers ne sont pas signés.";
}

std::string RepairBlocked(std::size_t replaced, std::string_view name, std::size_t others) {
    std::string text = "Réparation incomplète: " + FilesReplaced(replaced) + " Impossible de remplacer ";
    text.append(name);
    if (others > 0) text += " ni " + std::to_string(others) + " autre(s) fichier(s)";
    return text + ".";
}

std::string CannotWrite(std::string_view name) {
    return Around("Impossible d'écrire ", name, ".");
}

std::string NoSpaceFor(std::string_view name, std::uint64_t neededMiB) {
    std::string text = Around("Espace disque insuffisant pour écrire ", name, "");
    if (neededMiB > 0) text += " (" + std::to_string(neededMiB) + " Mo nécessaires)";
    return text + ".";
}

std::string WriteRefused(std::string_view name, bool diskFull) {
    return diskFull ? NoSpaceFor(name) : CannotWrite(name);
}

std::string CannotRead(std::string_view name) {
    return Around("Impossible de lire ", name, ".");
}

std::string CannotRecordVersion(std::int16_t version) {
    return "Impossible d'enregistrer la version " + std::to_string(version) + ".";
}

std::string NoMemory() {
    return "Mémoire insuffisante.";
}

std::string DiskFull(std::uint64_t missingMiB, std::uint64_t neededMiB, std::uint64_t freeMiB) {
    return "Espace disque insuffisant: il manque " + std::to_string(missingMiB) + " Mo (" +
           std::to_string(neededMiB) + " Mo nécessaires, " + std::to_string(freeMiB) + " Mo libres).";
}

std::string BadVersion(std::string_view text) {
    return Around("Version invalide: ", text, ".");
}

std::string UnreadableIndex(std::string_view name) {
    return Around("Index des versions illisible: ", name, ".");
}

std::string RefusedPath(std::string_view entry) {
    return Around("Chemin refusé: ", entry, ".");
}

std::string TooManyFiles(std::size_t most) {
    return "Trop de fichiers: plus de " + std::to_string(most) + ".";
}

std::string Unreachable() {
    return "Serveur injoignable.";
}

std::string ServerAnswered(long status, std::string_view remote) {
    return Around("Le serveur a répondu " + std::to_string(status) + " pour ", remote, ".");
}

std::string TransferCut(std::string_view remote) {
    return Around("Transfert incomplet: ", remote, ".");
}

std::string TimedOut(std::string_view remote) {
    return Around("Délai dépassé: ", remote, ".");
}

std::string NoLength(std::string_view remote) {
    return Around("Le serveur n'a pas indiqué la taille de ", remote, ".");
}

std::string TooManyRedirects(std::string_view remote) {
    return Around("Trop de redirections pour ", remote, ".");
}

std::string RedirectRefused(std::string_view remote) {
    return Around("Redirection refusée pour ", remote, ".");
}

std::string BadResponse(std::string_view remote) {
    return Around("Réponse invalide du serveur pour ", remote, ".");
}

std::string CertificateRefused() {
    return "Certificat du serveur refusé.";
}

std::string CompressedContentRefused(std::string_view remote) {
    return Around("Contenu compressé refusé: ", remote, ".");
}

std::string UnexpectedPartialAnswer(std::string_view remote) {
    return Around("Réponse partielle inattendue pour ", remote, ".");
}

std::string FileTooLarge(std::string_view remote, std::uint64_t mostKiB) {
    return Around("Fichier trop grand: ", remote, " (plus de " + std::to_string(mostKiB) + " Kio).");
}

std::string Altered(std::string_view entry) {
    return Around("Fichier altéré: ", entry, ".");
}

std::string NotSigned(std::string_view entry) {
    return Around("Fichier non signé: ", entry, ".");
}

std::string BadSignature(std::string_view file) {
    return Around("Signature invalide: ", file, ".");
}

std::string BadPublicKey() {
    return "Clé publique invalide.";
}

std::string Expired() {
    return "Mise à jour expirée.";
}

std::string OtherChannel(std::string_view channel) {
    return Around("Mise à jour d'un autre canal: ", channel, ".");
}

std::string OlderThanAccepted() {
    return "Mise à jour plus ancienne que la dernière acceptée.";
}

}  // namespace texts
