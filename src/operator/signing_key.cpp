#include "operator/signing_key.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "operator/file_io.h"

struct SigningKey::Pkey {
    EVP_PKEY* key = nullptr;
    ~Pkey() { EVP_PKEY_free(key); }
};

namespace {

std::string OpensslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// X || Y of an EC key, when it is a P-256 key.
bool PublicPoint(EVP_PKEY* key, PublicKey& out) {
    char group[64] = {};
    std::size_t groupLength = 0;
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC ||
        EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &groupLength) !=
            1 ||
        std::string(group) != "prime256v1") {
        return false;
    }
    unsigned char point[65];
    std::size_t pointLength = 0;
    // Asks for the uncompressed form whatever the file stored.
    EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLength) !=
            1 ||
        pointLength != 65 || point[0] != 0x04) {
        return false;
    }
    std::memcpy(out.data(), point + 1, 64);
    return true;
}

}  // namespace

SigningKey SigningKey::Generate() {
    SigningKey result;
    result.key_ = std::make_shared<Pkey>();
    result.key_->key = EVP_EC_gen("P-256");
    if (!result.key_->key || !PublicPoint(result.key_->key, result.public_)) {
        throw std::runtime_error("cannot make a key: " + OpensslError());
    }
    return result;
}

SigningKey SigningKey::Load(const std::filesystem::path& file) {
    const auto text = ReadWholeFile(file);
    if (!text) throw std::runtime_error("cannot read the key file " + PathText(file));
    BIO* bio = BIO_new_mem_buf(text->data(), static_cast<int>(text->size()));
    if (!bio) throw std::runtime_error("cannot read the key file " + PathText(file) + ": " + OpensslError());
    SigningKey result;
    result.key_ = std::make_shared<Pkey>();
    result.key_->key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!result.key_->key) {
        ERR_clear_error();
        throw std::runtime_error(PathText(file) + " is not a PEM private key (update-repo keygen makes one)");
    }
    if (!PublicPoint(result.key_->key, result.public_)) {
        throw std::runtime_error(PathText(file) +
                                 " is not an ECDSA P-256 key (update-repo keygen makes one)");
    }
    return result;
}

void SigningKey::SaveNew(const std::filesystem::path& file) const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio || PEM_write_bio_PrivateKey(bio, key_->key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(bio);
        throw std::runtime_error("cannot encode the key: " + OpensslError());
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);

    // O_EXCL: an existing key (perhaps the only copy of one) is never replaced.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST)
            throw std::runtime_error(PathText(file) + " already exists; it is left as it was");
        throw std::runtime_error("cannot create " + PathText(file) + ": " + std::strerror(error));
    }
    // The umask may only have narrowed it; make sure nothing widened it.
    bool ok = ::fchmod(fd, 0600) == 0;
    std::size_t written = 0;
    while (ok && written < pem.size()) {
        const ssize_t n = ::write(fd, pem.data() + written, pem.size() - written);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) written += static_cast<std::size_t>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    const int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(file.c_str());
        throw std::runtime_error("cannot write " + PathText(file) + ": " + std::strerror(error));
    }
}

Signature SigningKey::Sign(std::string_view message) const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t derSize = 0;
    std::basic_string<unsigned char> der;
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    bool ok = context && EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key_->key) == 1 &&
              EVP_DigestSign(context, nullptr, &derSize, bytes, message.size()) == 1;
    if (ok) {
        der.resize(derSize);
        ok = EVP_DigestSign(context, der.data(), &derSize, bytes, message.size()) == 1;
        der.resize(derSize);
    }
    EVP_MD_CTX_free(context);
    if (!ok) throw std::runtime_error("cannot sign: " + OpensslError());

    // OpenSSL writes DER, SEQUENCE { r, s } with minimal integers; the
    // repository stores r || s, each left-padded to 32 bytes.
    const unsigned char* cursor = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
    if (!sig) throw std::runtime_error("cannot sign: " + OpensslError());
    Signature out{};
    const bool padded = BN_bn2binpad(ECDSA_SIG_get0_r(sig), out.data(), 32) == 32 &&
                        BN_bn2binpad(ECDSA_SIG_get0_s(sig), out.data() + 32, 32) == 32;
    ECDSA_SIG_free(sig);
    if (!padded) throw std::runtime_error("cannot sign: a signature value does not fit 32 bytes");
    return out;
}
