// SHA-256 and ECDSA P-256 verification through Windows CNG (bcrypt.dll), in
// the calls Windows 7 already has: BCryptHash and the pseudo-handles
// (BCRYPT_SHA256_ALG_HANDLE...) only came with Windows 10.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "update/trust/crypto.h"

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

class Algorithm {
public:
    explicit Algorithm(LPCWSTR name) {
        if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
    }
    ~Algorithm() {
        if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Key {
public:
    Key() = default;
    ~Key() {
        if (handle_) BCryptDestroyKey(handle_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    BCRYPT_KEY_HANDLE* out() { return &handle_; }
    BCRYPT_KEY_HANDLE get() const { return handle_; }

private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

// Opening a provider is slow (it reads the registry): each is opened once
// and shared, as CNG allows, for the program's life.
const Algorithm& Sha256Provider() {
    static const Algorithm provider(BCRYPT_SHA256_ALGORITHM);
    return provider;
}

const Algorithm& EcdsaP256Provider() {
    static const Algorithm provider(BCRYPT_ECDSA_P256_ALGORITHM);
    return provider;
}

}  // namespace

// The hash object lives in memory we own, as Windows 7 requires (it cannot
// allocate it itself).
struct Sha256::State {
    const Algorithm& algorithm = Sha256Provider();
    std::vector<UCHAR> object;
    BCRYPT_HASH_HANDLE hash = nullptr;

    State() {
        DWORD size = 0;
        ULONG written = 0;
        if (!algorithm.get() ||
            !Succeeded(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                         reinterpret_cast<PUCHAR>(&size), sizeof size, &written, 0))) {
            throw std::runtime_error("SHA-256 indisponible (CNG).");
        }
        object.resize(size);
        Start();
    }
    ~State() { Close(); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void Start() {
        if (!Succeeded(BCryptCreateHash(algorithm.get(), &hash, object.data(),
                                        static_cast<ULONG>(object.size()), nullptr, 0, 0))) {
            hash = nullptr;
            throw std::runtime_error("SHA-256 indisponible (CNG).");
        }
    }
    void Close() {
        if (hash) BCryptDestroyHash(hash);
        hash = nullptr;
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

void Sha256::Update(const void* data, std::size_t size) {
    // BCryptHashData takes a ULONG length: big pieces go in several calls.
    const auto* bytes = static_cast<const UCHAR*>(data);
    while (size > 0) {
        const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        if (!Succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), piece, 0))) {
            throw std::runtime_error("Échec du calcul SHA-256 (CNG).");
        }
        bytes += piece;
        size -= piece;
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    // A finished hash object cannot be reused on Windows 7: a new one follows.
    const NTSTATUS status =
        BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    state_->Close();
    state_->Start();
    if (!Succeeded(status)) throw std::runtime_error("Échec du calcul SHA-256 (CNG).");
    return digest;
}

bool VerifySignature(const PublicKey& key, std::string_view message, const Signature& signature) {
    try {
        const Sha256Digest digest = Sha256Of(message);
        const Algorithm& algorithm = EcdsaP256Provider();
        if (!algorithm.get()) return false;
        // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y, each 32 bytes big-endian.
        std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
        BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
        std::memcpy(blob.data(), &header, sizeof header);
        std::memcpy(blob.data() + sizeof header, key.data(), key.size());
        Key imported;
        if (!Succeeded(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, imported.out(),
                                           blob.data(), static_cast<ULONG>(blob.size()), 0))) {
            return false;
        }
        // CNG takes ECDSA signatures as r || s, exactly our format.
        Signature copy = signature;
        Sha256Digest hashed = digest;
        return Succeeded(BCryptVerifySignature(imported.get(), nullptr, hashed.data(),
                                               static_cast<ULONG>(hashed.size()), copy.data(),
                                               static_cast<ULONG>(copy.size()), 0));
    } catch (const std::exception&) {
        return false;
    }
}
