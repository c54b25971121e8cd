// The operator's P-256 private key: made by `update-repo keygen`, kept in a
// PEM file (PKCS#8) outside the repository, used by publish and sign.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "update/trust/crypto.h"

class SigningKey {
public:
    // A new random key. Throws std::runtime_error when OpenSSL fails.
    static SigningKey Generate();
    // Reads a PEM private key; throws std::runtime_error saying why it cannot
    // be used (unreadable, not PEM, not a P-256 key).
    static SigningKey Load(const std::filesystem::path& file);

    // Writes the private key to a file that must not exist yet, readable by
    // its owner only (mode 0600). Throws std::runtime_error, and leaves no
    // partial file, on any failure.
    void SaveNew(const std::filesystem::path& file) const;

    const PublicKey& Public() const { return public_; }
    // ECDSA over SHA-256(message), as r || s.
    Signature Sign(std::string_view message) const;

private:
    struct Pkey;
    std::shared_ptr<Pkey> key_;
    PublicKey public_{};
};
