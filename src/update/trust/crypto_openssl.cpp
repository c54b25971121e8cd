// SHA-256 and ECDSA P-256 verification through OpenSSL 3's libcrypto (EVP).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <stdexcept>

#include "update/trust/crypto.h"

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using MdContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using PkeyContext = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Pkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using ParamBuilder = Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Owned<OSSL_PARAM, OSSL_PARAM_free>;
using EcdsaSig = Owned<ECDSA_SIG, ECDSA_SIG_free>;

// The key as an EVP_PKEY, built from the uncompressed point 04 || X || Y.
// OpenSSL refuses a point that is not on the curve.
Pkey ImportPublicKey(const PublicKey& key) {
    unsigned char point[65];
    point[0] = 0x04;
    std::copy(key.begin(), key.end(), point + 1);
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point)) {
        return nullptr;
    }
    const Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    const PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1) return nullptr;
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) return nullptr;
    return Pkey(raw);
}

// OpenSSL verifies DER-encoded signatures: r || s becomes SEQUENCE { r, s }.
std::basic_string<unsigned char> DerSignature(const Signature& signature) {
    EcdsaSig sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return {};
    }
    unsigned char* der = nullptr;
    const int size = i2d_ECDSA_SIG(sig.get(), &der);
    if (size <= 0) return {};
    std::basic_string<unsigned char> out(der, static_cast<std::size_t>(size));
    OPENSSL_free(der);
    return out;
}

}  // namespace

struct Sha256::State {
    MdContext context{EVP_MD_CTX_new()};

    void Start() {
        if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 indisponible (OpenSSL).");
        }
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->Start();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

void Sha256::Update(const void* data, std::size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(state_->context.get(), data, size) != 1) {
        throw std::runtime_error("Échec du calcul SHA-256 (OpenSSL).");
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &size) != 1 || size != digest.size()) {
        throw std::runtime_error("Échec du calcul SHA-256 (OpenSSL).");
    }
    state_->Start();
    return digest;
}

bool VerifySignature(const PublicKey& key, std::string_view message, const Signature& signature) {
    const Pkey pkey = ImportPublicKey(key);
    const std::basic_string<unsigned char> der = DerSignature(signature);
    if (!pkey || der.empty()) return false;
    const MdContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), der.data(), der.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}
