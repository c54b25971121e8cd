// The two cryptographic operations the signed repository needs: SHA-256 and
// the verification of an ECDSA P-256 signature. Each platform implements
// them with its own library (crypto_openssl.cpp: OpenSSL's libcrypto;
// crypto_cng.cpp: Windows CNG in bcrypt.dll); nothing here is home-made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

using Sha256Digest = std::array<std::uint8_t, 32>;

// A running SHA-256 over bytes fed piece by piece, so a file is hashed as it
// arrives. Throws std::runtime_error when the platform library fails (out of
// memory, a missing algorithm provider).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&& other) noexcept;
    Sha256& operator=(Sha256&& other) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything fed since construction or the last Finish;
    // the object then starts over with an empty message.
    Sha256Digest Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// SHA-256 of one whole message.
inline Sha256Digest Sha256Of(std::string_view bytes) {
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Finish();
}

using PublicKey = std::array<std::uint8_t, 64>;  // X || Y of a P-256 point, big-endian
using Signature = std::array<std::uint8_t, 64>;  // r || s, each big-endian on 32 bytes

// True when signature is a valid ECDSA P-256 signature of SHA-256(message)
// by key. False for anything else, a key that is not a point of the curve
// included; never throws.
bool VerifySignature(const PublicKey& key, std::string_view message, const Signature& signature);
