// SHA-256 and ECDSA P-256 through the platform library, the signed
// metadata formats, and the operator's signing key, on real key files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "operator/signing_key.h"
#include "update/formats/utc_time.h"
#include "update/patch/patch_route.h"
#include "update/trust/crypto.h"
#include "update/trust/extras.h"
#include "update/trust/key_text.h"
#include "update/trust/pack_index.h"
#include "update/trust/serial_record.h"
#include "update/trust/signature_file.h"
#include "update/trust/signed_metadata.h"

namespace {

template <std::size_t N>
std::array<std::uint8_t, N> FromHex(std::string_view hex) {
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        out[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
    return out;
}

// RFC 6979, A.2.5: the P-256 test key and its deterministic SHA-256 signatures.
const PublicKey kRfcKey = FromHex<64>(
    "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
    "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299");
const Signature kRfcSample = FromHex<64>(
    "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
    "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8");
const Signature kRfcTest = FromHex<64>(
    "F1ABB023518351CD71D881567B1EA663ED3EFCF6C5132B354F28D3B0B7D38367"
    "019F4113742A2B14BD25926B49C649155F267E60D3814B4C0CC84250E46F0083");

TEST(Sha256, KnownAnswers) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Hex(Sha256Of(c.message)), c.digest) << c.message.size() << " bytes";
        // The same message fed in uneven pieces, as a download delivers it.
        Sha256 hash;
        std::size_t done = 0;
        for (std::size_t piece = 1; done < c.message.size(); piece = piece * 3 + 1) {
            const std::size_t n = std::min(piece, c.message.size() - done);
            hash.Update(c.message.data() + done, n);
            done += n;
        }
        EXPECT_EQ(Hex(hash.Finish()), c.digest) << c.message.size() << " bytes in pieces";
        // Finish starts over: the next message is hashed on its own.
        hash.Update("abc", 3);
        EXPECT_EQ(Hex(hash.Finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
    Sha256 moved = Sha256();
    moved.Update("abc", 3);
    Sha256 target;
    target = std::move(moved);
    EXPECT_EQ(Hex(target.Finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(VerifySignature, AcceptsTheRfc6979SignaturesAndNothingElse) {
    EXPECT_TRUE(VerifySignature(kRfcKey, "sample", kRfcSample));
    EXPECT_TRUE(VerifySignature(kRfcKey, "test", kRfcTest));
    EXPECT_FALSE(VerifySignature(kRfcKey, "test", kRfcSample));     // another message's signature
    EXPECT_FALSE(VerifySignature(kRfcKey, "sample ", kRfcSample));  // one byte more
    EXPECT_FALSE(VerifySignature(kRfcKey, "Sample", kRfcSample));
    for (const std::size_t byte : {0u, 31u, 32u, 63u}) {
        Signature flipped = kRfcSample;
        flipped[byte] ^= 0x01;
        EXPECT_FALSE(VerifySignature(kRfcKey, "sample", flipped)) << "byte " << byte;
    }
    PublicKey otherPoint = kRfcKey;
    otherPoint[63] ^= 0x01;  // no longer on the curve
    EXPECT_FALSE(VerifySignature(otherPoint, "sample", kRfcSample));
    EXPECT_FALSE(VerifySignature(PublicKey{}, "sample", kRfcSample));
    EXPECT_FALSE(VerifySignature(kRfcKey, "sample", Signature{}));  // r = s = 0
    Signature allOnes;
    allOnes.fill(0xFF);  // r and s above the group order
    EXPECT_FALSE(VerifySignature(kRfcKey, "sample", allOnes));
}

TEST(SigningKey, SignaturesVerifyIncludingShortRAndS) {
    const SigningKey key = SigningKey::Generate();
    const SigningKey other = SigningKey::Generate();
    EXPECT_NE(key.Public(), other.Public());
    // About one signature in 128 has an r (or an s) below 2^248, which DER
    // writes in fewer than 32 bytes: sign until both kinds were met.
    bool shortR = false, shortS = false;
    int signatures = 0;
    for (; signatures < 20000 && !(shortR && shortS); ++signatures) {
        const std::string message = "message " + std::to_string(signatures);
        const Signature signature = key.Sign(message);
        shortR = shortR || signature[0] == 0;
        shortS = shortS || signature[32] == 0;
        if (signature[0] == 0 || signature[32] == 0 || signatures < 20) {
            ASSERT_TRUE(VerifySignature(key.Public(), message, signature)) << message;
            ASSERT_FALSE(VerifySignature(other.Public(), message, signature)) << message;
            ASSERT_FALSE(VerifySignature(key.Public(), message + ".", signature)) << message;
        }
    }
    EXPECT_TRUE(shortR && shortS) << signatures << " signatures";
}

class KeyFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/signing-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

TEST_F(KeyFile, SavedOwnerOnlyNeverOverwrittenAndLoadedBack) {
    const SigningKey key = SigningKey::Generate();
    const auto file = dir_ / "release.pem";
    const mode_t mask = umask(0);  // a careless umask does not widen the file
    key.SaveNew(file);
    umask(mask);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const SigningKey loaded = SigningKey::Load(file);
    EXPECT_EQ(loaded.Public(), key.Public());
    EXPECT_TRUE(VerifySignature(key.Public(), "x", loaded.Sign("x")));

    std::ifstream in(file);
    const std::string before((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_THROW(SigningKey::Generate().SaveNew(file), std::runtime_error);
    std::ifstream again(file);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()), before);
}

TEST_F(KeyFile, LoadRefusesWhatIsNotAP256PrivateKey) {
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
        return dir_ / name;
    };
    EXPECT_THROW(SigningKey::Load(dir_ / "missing.pem"), std::runtime_error);
    EXPECT_THROW(SigningKey::Load(write("garbage.pem", "not a key\n")), std::runtime_error);
    // A P-384 key made by the openssl tool: a valid key, the wrong curve.
    const auto p384 = dir_ / "p384.pem";
    const std::string command = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out " +
                                p384.string() + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    try {
        SigningKey::Load(p384);
        ADD_FAILURE() << "a P-384 key was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("not an ECDSA P-256 key"), std::string::npos) << e.what();
    }
    // A P-256 key made by the openssl tool signs what we verify.
    const auto p256 = dir_ / "p256.pem";
    ASSERT_EQ(std::system(("openssl ecparam -name prime256v1 -genkey -noout -out " + p256.string()).c_str()),
              0);
    const SigningKey key = SigningKey::Load(p256);
    EXPECT_TRUE(VerifySignature(key.Public(), "m", key.Sign("m")));
}

TEST(UtcTime, FormatsAndParsesTheOneShape) {
    const struct {
        std::int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},          {951782400, "2000-02-29T00:00:00Z"},
        {1799229600, "2027-01-06T10:00:00Z"}, {2147483648, "2038-01-19T03:14:08Z"},
        {4107628799, "2100-03-01T23:59:59Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatUtcTime(c.seconds), c.text);
        EXPECT_EQ(ParseUtcTime(c.text), c.seconds) << c.text;
    }
    for (const char* bad :
         {"2027-01-06T10:00:00", "2027-01-06 10:00:00Z", "2027-01-06T10:00:00z", "2027-1-06T10:00:00Z",
          "2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2027-13-01T00:00:00Z", "2027-04-31T00:00:00Z",
          "2027-01-06T24:00:00Z", "2027-01-06T10:60:00Z", "2027-01-06T10:00:60Z", "1969-12-31T23:59:59Z",
          "+027-01-06T10:00:00Z", ""}) {
        EXPECT_EQ(ParseUtcTime(bad), std::nullopt) << bad;
    }
}

const std::string kDigestA = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kDigestB = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

const std::string kMetadata =
    "kestralon-metadata 1\n"
    "serial 42\n"
    "expires 2027-01-06T10:00:00Z\n"
    "index " +
    kDigestA +
    " 9\n"
    "version 3 " +
    kDigestA + " 3 " + kDigestB +
    " 0\n"
    "version -2 " +
    kDigestB + " 0 " + kDigestA + " 18446744073709551615\n";

TEST(RepositoryMetadata, ParsesAndFormatsTheSameBytes) {
    const auto metadata = ParseRepositoryMetadata(kMetadata);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->serial, 42u);
    EXPECT_EQ(metadata->expires, 1799229600);
    EXPECT_EQ(metadata->index.sha256, Sha256Of("abc"));
    EXPECT_EQ(metadata->index.size, 9u);
    ASSERT_EQ(metadata->versions.size(), 2u);
    EXPECT_EQ(metadata->versions[0].version, 3);
    EXPECT_EQ(metadata->versions[0].list, DigestOf("abc"));
    EXPECT_EQ(metadata->versions[0].files, DigestOf(""));
    EXPECT_EQ(metadata->versions[1].version, -2);
    EXPECT_EQ(metadata->versions[1].files.size, UINT64_MAX);
    EXPECT_EQ(FindVersion(*metadata, -2), &metadata->versions[1]);
    EXPECT_EQ(FindVersion(*metadata, 4), nullptr);
    EXPECT_EQ(FormatRepositoryMetadata(*metadata), kMetadata);

    // CR LF line ends are read too; no version line is a repository without versions.
    std::string crlf;
    for (const char c : kMetadata) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_TRUE(ParseRepositoryMetadata(crlf));
    const auto empty = ParseRepositoryMetadata("kestralon-metadata 1\nindex " + kDigestA +
                                               " 0\nexpires 2027-01-06T10:00:00Z\nserial 1\n");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->versions.empty());
}

std::string Replaced(const std::string& text, const std::string& from, const std::string& to) {
    std::string out = text;
    const auto at = out.find(from);
    if (at == std::string::npos) throw std::logic_error("no " + from);
    out.replace(at, from.size(), to);
    return out;
}

TEST(RepositoryMetadata, ExpiresFromItsExpirySecondOn) {
    // 1799229600 is 2027-01-06T10:00:00Z, the expiry of kMetadata.
    const struct {
        const char* what;
        std::int64_t now;
        bool expired;
    } cases[] = {
        {"a second before", 1799229599, false},
        {"its expiry second", 1799229600, true},
        {"a second after", 1799229601, true},
    };
    const auto metadata = ParseRepositoryMetadata(kMetadata);
    ASSERT_TRUE(metadata);
    for (const auto& c : cases) EXPECT_EQ(HasExpired(metadata->expires, c.now), c.expired) << c.what;
}

TEST(RepositoryMetadata, ReleaseShapeHasAChannel) {
    const std::string release =
        Replaced(kMetadata, "kestralon-metadata 1\n", "kestralon-release 1\nchannel live\n");
    const auto metadata = ParseRepositoryMetadata(release);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->channel, "live");
    EXPECT_EQ(FormatRepositoryMetadata(*metadata), release);
    EXPECT_EQ(ParseRepositoryMetadata(kMetadata)->channel, "");
    const struct {
        const char* what;
        std::string text;
    } refused[] = {
        {"release without a channel", Replaced(release, "channel live\n", "")},
        {"first shape with a channel", Replaced(kMetadata, "serial 42\n", "serial 42\nchannel live\n")},
        {"two channels", Replaced(release, "channel live\n", "channel live\nchannel test\n")},
        {"channel with a slash", Replaced(release, "channel live", "channel li/ve")},
        {"empty channel", Replaced(release, "channel live", "channel ")},
        {"channel too long", Replaced(release, "channel live", "channel " + std::string(65, 'a'))},
    };
    for (const auto& c : refused) EXPECT_EQ(ParseRepositoryMetadata(c.text), std::nullopt) << c.what;
}

TEST(FreshMetadata, ParsesFormatsAndRefusesTheMalformed) {
    const std::string text =
        "kestralon-fresh 1\nserial 3\nexpires 2027-01-06T10:00:00Z\nrelease " + kDigestA + " 9\n";
    const auto fresh = ParseFreshMetadata(text);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->serial, 3u);
    EXPECT_EQ(fresh->expires, 1799229600);
    EXPECT_EQ(fresh->release.size, 9u);
    EXPECT_EQ(FormatFreshMetadata(*fresh), text);
    const struct {
        const char* what;
        std::string text;
    } refused[] = {
        {"other format", Replaced(text, "kestralon-fresh 1", "kestralon-fresh 2")},
        {"lines in another order", Replaced(text, "serial 3\nexpires 2027-01-06T10:00:00Z\n",
                                            "expires 2027-01-06T10:00:00Z\nserial 3\n")},
        {"no release line", Replaced(text, "release " + kDigestA + " 9\n", "")},
        {"an index line instead", Replaced(text, "release ", "index ")},
        {"a line more", text + "version 1\n"},
        {"serial over 64 bits", Replaced(text, "serial 3", "serial 18446744073709551616")},
        {"short digest", Replaced(text, kDigestA, kDigestA.substr(1))},
        {"no final line end", text.substr(0, text.size() - 1)},
    };
    for (const auto& c : refused) EXPECT_EQ(ParseFreshMetadata(c.text), std::nullopt) << c.what;
}

TEST(ReleaseExtras, ParsesFormatsAndRefusesTheMalformed) {
    const std::string text = "kestralon-extras 1\nrelease " + kDigestA + " 9\nremoved 3 " + kDigestB +
                             " 12 data/old file.dat\nremoved 4 " + kDigestB +
                             " 12 data/old file.dat\npack 2 4 " + kDigestA + " 300\n";
    const auto extras = ParseReleaseExtras(text);
    ASSERT_TRUE(extras);
    EXPECT_EQ(extras->release.size, 9u);
    ASSERT_EQ(extras->removed.size(), 2u);
    EXPECT_EQ(extras->removed[0].entry, "data/old file.dat");  // blanks inside an entry are its own
    EXPECT_EQ(extras->removed[1].version, 4);
    EXPECT_EQ(extras->removed[0].last.size, 12u);
    ASSERT_EQ(extras->packs.size(), 1u);
    EXPECT_EQ(extras->packs[0], (PackOffer{2, 4, {300, *ParseDigest(kDigestA)}}));
    EXPECT_EQ(FormatReleaseExtras(*extras), text);
    const std::string bare = "kestralon-extras 1\nrelease " + kDigestA + " 9\n";
    EXPECT_EQ(FormatReleaseExtras(*ParseReleaseExtras(bare)), bare);
    const struct {
        const char* what;
        std::string text;
    } refused[] = {
        {"other format", Replaced(text, "kestralon-extras 1", "kestralon-extras 3")},
        {"no release line", Replaced(text, "release " + kDigestA + " 9\n", "")},
        {"release line not second", Replaced(bare, "release ", "pack 1 2 " + kDigestA + " 3\nrelease ")},
        {"two release lines", bare + "release " + kDigestA + " 9\n"},
        {"a removal twice", text + "removed 3 " + kDigestB + " 12 data/old file.dat\n"},
        {"a pack twice", text + "pack 2 4 " + kDigestB + " 30\n"},
        {"a blank entry", bare + "removed 3 " + kDigestB + " 12  \n"},
        {"no entry", bare + "removed 3 " + kDigestB + " 12\n"},
        {"a carriage return inside an entry", bare + "removed 3 " + kDigestB + " 12 a\rb\n"},
        {"a version past 16 bits", Replaced(text, "removed 3 ", "removed 32768 ")},
        {"a pack short of its size", bare + "pack 2 4 " + kDigestA + "\n"},
        {"an unknown line", text + "moved a b\n"},
        {"no final line end", text.substr(0, text.size() - 1)},
    };
    for (const auto& c : refused) EXPECT_EQ(ParseReleaseExtras(c.text), std::nullopt) << c.what;
    ReleaseExtras twice = *extras;
    twice.removed.push_back(twice.removed.front());
    EXPECT_THROW(FormatReleaseExtras(twice), std::invalid_argument);
    // A drop's second content takes format 2, which older updaters refuse.
    const std::string several = Replaced(Replaced(text, "extras 1", "extras 2"), "pack ",
                                         "removed 3 " + kDigestA + " 5 data/old file.dat\npack ");
    const auto both = ParseReleaseExtras(several);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->removed.size(), 3u);
    EXPECT_EQ(FormatReleaseExtras(*both), several);
    EXPECT_EQ(ParseReleaseExtras(Replaced(several, "extras 2", "extras 1")), std::nullopt);
    EXPECT_EQ(ParseReleaseExtras(several + "removed 3 " + kDigestA + " 5 data/old file.dat\n"), std::nullopt);
}

TEST(RepositoryMetadata, RefusesEveryMalformedText) {
    const std::string versionLine = "version 3 " + kDigestA + " 3 " + kDigestB + " 0\n";
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"no final line end", kMetadata.substr(0, kMetadata.size() - 1)},
        {"other format line", Replaced(kMetadata, "kestralon-metadata 1", "kestralon-metadata 2")},
        {"format line not first",
         Replaced(kMetadata, "kestralon-metadata 1\nserial 42\n", "serial 42\nkestralon-metadata 1\n")},
        {"missing serial", Replaced(kMetadata, "serial 42\n", "")},
        {"missing expires", Replaced(kMetadata, "expires 2027-01-06T10:00:00Z\n", "")},
        {"missing index", Replaced(kMetadata, "index " + kDigestA + " 9\n", "")},
        {"repeated serial", Replaced(kMetadata, "serial 42\n", "serial 42\nserial 42\n")},
        {"repeated version", kMetadata + versionLine},
        {"unknown line", kMetadata + "comment hello\n"},
        {"blank line", Replaced(kMetadata, "serial 42\n", "serial 42\n\n")},
        {"uppercase hex", Replaced(kMetadata, "index ba7816bf", "index BA7816BF")},
        {"short hex", Replaced(kMetadata, "index " + kDigestA, "index " + kDigestA.substr(2))},
        {"non-hex digit", Replaced(kMetadata, "index ba7816bf", "index ga7816bf")},
        {"serial with a sign", Replaced(kMetadata, "serial 42", "serial +42")},
        {"serial with a leading zero", Replaced(kMetadata, "serial 42", "serial 042")},
        {"negative serial", Replaced(kMetadata, "serial 42", "serial -42")},
        {"serial over 64 bits", Replaced(kMetadata, "serial 42", "serial 18446744073709551616")},
        {"version over 16 bits", Replaced(kMetadata, "version 3 ", "version 32768 ")},
        {"version -0", Replaced(kMetadata, "version 3 ", "version -0 ")},
        {"fractional version", Replaced(kMetadata, "version 3 ", "version 3.0 ")},
        {"size that is not a number", Replaced(kMetadata, kDigestA + " 9\n", kDigestA + " nine\n")},
        {"two blanks", Replaced(kMetadata, "serial 42", "serial  42")},
        {"trailing blank", Replaced(kMetadata, "serial 42", "serial 42 ")},
        {"field missing",
         Replaced(kMetadata, versionLine, "version 3 " + kDigestA + " 3 " + kDigestB + "\n")},
        {"field too many", Replaced(kMetadata, "index " + kDigestA + " 9", "index " + kDigestA + " 9 9")},
        {"bad expiry", Replaced(kMetadata, "2027-01-06T10:00:00Z", "2027-01-06")},
        {"CR inside a line", Replaced(kMetadata, "serial 42", "serial 4\r2")},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseRepositoryMetadata(c.text), std::nullopt) << c.what;
}

const std::string kFiles =
    "kestralon-files 1\n"
    "version -7\n" +
    kDigestA + " 3 data/maps/town.map\n" + kDigestB + " 0  leading blank\n" + kDigestA +
    " 3 Donn\xE9"
    "es/caf\xE9 au lait.txt\n";

TEST(VersionFiles, ParsesAndFormatsTheSameBytes) {
    const auto files = ParseVersionFiles(kFiles);
    ASSERT_TRUE(files);
    EXPECT_EQ(files->version, -7);
    ASSERT_EQ(files->files.size(), 3u);
    EXPECT_EQ(files->files[0].first, "data/maps/town.map");
    EXPECT_EQ(files->files[0].second, DigestOf("abc"));
    EXPECT_EQ(files->files[1].first, " leading blank");  // the rest of the line after the second blank
    EXPECT_EQ(files->files[2].first,
              "Donn\xE9"
              "es/caf\xE9 au lait.txt");  // Windows-1252, as in the list
    EXPECT_EQ(FindFile(*files, "data/maps/town.map"), &files->files[0].second);
    EXPECT_EQ(FindFile(*files, "data/maps/Town.map"), nullptr);
    EXPECT_EQ(FormatVersionFiles(*files), kFiles);
    const auto none = ParseVersionFiles("kestralon-files 1\r\nversion 0\r\n");
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->files.empty());
}

TEST(VersionFiles, RefusesEveryMalformedText) {
    const std::string row = kDigestA + " 3 data/maps/town.map\n";
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"format line only", "kestralon-files 1\n"},
        {"other format", Replaced(kFiles, "kestralon-files 1", "kestralon-files 2")},
        {"no version line", Replaced(kFiles, "version -7\n", "")},
        {"bad version", Replaced(kFiles, "version -7", "version x")},
        {"version over 16 bits", Replaced(kFiles, "version -7", "version -32769")},
        {"repeated entry", kFiles + row},
        {"empty entry", kFiles + kDigestA + " 3 \n"},
        {"blank entry", kFiles + kDigestA + " 3    \n"},
        {"no entry", kFiles + kDigestA + " 3\n"},
        {"bad digest", kFiles + kDigestA.substr(1) + " 3 x\n"},
        {"bad size", kFiles + kDigestA + " -3 x\n"},
        {"no final line end", kFiles.substr(0, kFiles.size() - 1)},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseVersionFiles(c.text), std::nullopt) << c.what;

    for (const char* entry : {"", "   ", "a\nb", "a\rb"}) {
        EXPECT_THROW(FormatVersionFiles({1, {{entry, DigestOf("")}}}), std::invalid_argument) << entry;
    }
    EXPECT_THROW(FormatVersionFiles({1, {{"a", DigestOf("")}, {"a", DigestOf("x")}}}), std::invalid_argument);
}

TEST(PublicKeys, ParsesListsAndRefusesMalformedKeys) {
    const std::string a = KeyText(kRfcKey);
    PublicKey other = kRfcKey;
    other[0] ^= 0xFF;
    const std::string b = KeyText(other);
    EXPECT_EQ(a,
              "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
              "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299");
    EXPECT_EQ(KeyId(kRfcKey), "d6c23e2744a840cb");
    const struct {
        std::string text;
        std::vector<PublicKey> keys;
    } good[] = {
        {"", {}},
        {" , \n", {}},
        {a, {kRfcKey}},
        {a + "," + b, {kRfcKey, other}},
        {" " + b + " ,\t" + a + "\n", {other, kRfcKey}},
        {a + " " + a, {kRfcKey}},
        {"60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
         "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299",
         {kRfcKey}},
    };
    for (const auto& c : good) EXPECT_EQ(ParsePublicKeys(c.text), c.keys) << c.text;
    for (const std::string& bad : {a.substr(1), a + "0", a + ";" + b, "04" + a,
                                   a + "," + b.substr(0, 127) + "g", std::string("xyz")}) {
        EXPECT_EQ(ParsePublicKeys(bad), std::nullopt) << bad;
    }
}

TEST(SerialRecord, KeySetNameIgnoresOrderAndRepeats) {
    PublicKey other = kRfcKey;
    other[0] ^= 0xFF;
    // SHA-256 of the key id "d6c23e2744a840cb".
    EXPECT_EQ(KeySetName({kRfcKey}, {}), "fab1ea1e6884b30f9647bf17ccd2e2a7bed883f2c31f5650963dc02c61d6b23d");
    EXPECT_EQ(KeySetName({kRfcKey, other}, {}), KeySetName({other, kRfcKey, other}, {}));
    EXPECT_NE(KeySetName({kRfcKey, other}, {}), KeySetName({kRfcKey}, {}));
    EXPECT_NE(KeySetName({other}, {}), KeySetName({kRfcKey}, {}));
    // Freshness keys of their own make another set, whichever role a key has.
    EXPECT_NE(KeySetName({kRfcKey}, {other}), KeySetName({kRfcKey}, {}));
    EXPECT_NE(KeySetName({kRfcKey}, {other}), KeySetName({other}, {kRfcKey}));
    EXPECT_NE(KeySetName({kRfcKey}, {other}), KeySetName({kRfcKey, other}, {}));
}

TEST(SerialRecord, HoldsOnlyUnderItsOwnKeySet) {
    PublicKey other = kRfcKey;
    other[0] ^= 0xFF;
    const std::string present = KeySetName({kRfcKey}, {});
    const std::string stranger = KeySetName({kRfcKey}, {other});
    const std::uint64_t most = 18446744073709551615u;
    const struct {
        std::string text;
        AcceptedSerials serials;
    } cases[] = {
        {FormatSerialRecord(present, {7, 2}), {7, 2}},
        {FormatSerialRecord(present, {most, most}), {most, most}},
        {"kestralon-serial 3\r\n" + present + " 7 0\r\n", {7, 0}},
        {FormatSerialRecord(stranger, {7, 2}), {}},
        {FormatSerialRecord(stranger, {most, most}), {}},
        // Earlier shapes counted another file's serial.
        {"kestralon-serial 1\n7\n", {}},
        {"kestralon-serial 2\n" + present + " 7\n", {}},
        {"kestralon-serial 3\n" + present + " 7\n", {}},
        {"kestralon-serial 3\n" + present + " x7 1\n", {}},
        {"kestralon-serial 3\n" + present + " 7 18446744073709551616\n", {}},
        {"kestralon-serial 3\n7 1\n", {}},
        {"kestralon-serial 3\n" + present + " 7 1\nserial 9\n", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(RecordedSerials(c.text, present), c.serials) << c.text;
    // A later release passes whatever freshness serial the folder saw.
    EXPECT_LT((AcceptedSerials{7, most}), (AcceptedSerials{8, 1}));
    EXPECT_LT((AcceptedSerials{7, 1}), (AcceptedSerials{7, 2}));
}

TEST(Signatures, IsSignedByOneOfTheKeys) {
    const SigningKey first = SigningKey::Generate();
    const SigningKey second = SigningKey::Generate();
    const SigningKey stranger = SigningKey::Generate();
    const std::string metadata = kMetadata;
    const std::string both =
        FormatSignatures({{first.Public(), first.Sign(metadata)}, {second.Public(), second.Sign(metadata)}});
    EXPECT_EQ(SignatureKeyIds(both),
              (std::vector<std::string>{KeyId(first.Public()), KeyId(second.Public())}));
    EXPECT_TRUE(IsSignedBy(metadata, both, {first.Public()}));
    EXPECT_TRUE(IsSignedBy(metadata, both, {second.Public()}));
    EXPECT_TRUE(IsSignedBy(metadata, both, {stranger.Public(), second.Public()}));
    EXPECT_FALSE(IsSignedBy(metadata, both, {stranger.Public()}));
    EXPECT_FALSE(IsSignedBy(metadata, both, {}));
    EXPECT_FALSE(IsSignedBy(metadata + "version 9 x\n", both, {first.Public()}));
    EXPECT_FALSE(
        IsSignedBy(Replaced(metadata, "serial 42", "serial 43"), both, {first.Public(), second.Public()}));

    // A threshold counts distinct keys: one key's two lines count once.
    EXPECT_EQ(CountSignedBy(metadata, both, {first.Public(), second.Public(), stranger.Public()}), 2u);
    const std::string twice =
        FormatSignatures({{first.Public(), first.Sign(metadata)}, {first.Public(), first.Sign(metadata)}});
    EXPECT_EQ(CountSignedBy(metadata, twice, {first.Public(), second.Public()}), 1u);
    EXPECT_EQ(CountSignedBy(metadata, both, {first.Public(), first.Public()}), 1u);

    // A stranger's signature filed under our key's id.
    const std::string forged = "kestralon-signature 1\n" + KeyId(first.Public()) + " " +
                               FormatSignatureLine(stranger.Public(), stranger.Sign(metadata)).substr(17) +
                               "\n";
    EXPECT_FALSE(IsSignedBy(metadata, forged, {first.Public()}));

    std::string crlf;
    for (const char c : both) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_TRUE(IsSignedBy(metadata, crlf, {first.Public()}));

    // While a signing is written, one key signs the old and the new metadata:
    // every line of the key counts, not only its first.
    const std::string older = Replaced(metadata, "serial 42", "serial 41");
    const std::string changing =
        FormatSignatures({{first.Public(), first.Sign(older)}, {first.Public(), first.Sign(metadata)}});
    EXPECT_TRUE(IsSignedBy(metadata, changing, {first.Public()}));
    EXPECT_TRUE(IsSignedBy(older, changing, {first.Public()}));
    EXPECT_FALSE(IsSignedBy(Replaced(metadata, "serial 42", "serial 40"), changing, {first.Public()}));
    const std::string line = FormatSignatureLine(first.Public(), first.Sign(metadata));
    const struct {
        const char* what;
        std::string text;
    } malformed[] = {
        {"empty", ""},
        {"no format line", line + "\n"},
        {"other format", "kestralon-signature 2\n" + line + "\n"},
        {"no final line end", "kestralon-signature 1\n" + line},
        {"uppercase hex", "kestralon-signature 1\n" + Replaced(line, line.substr(17, 4), "ABCD") + "\n"},
        {"short signature", "kestralon-signature 1\n" + line.substr(0, line.size() - 2) + "\n"},
        {"short key id", "kestralon-signature 1\n" + line.substr(1) + "\n"},
        {"a good line and a garbage line", "kestralon-signature 1\n" + line + "\nhello\n"},
    };
    for (const auto& c : malformed) {
        EXPECT_FALSE(IsSignedBy(metadata, c.text, {first.Public()})) << c.what;
        EXPECT_EQ(SignatureKeyIds(c.text), std::nullopt) << c.what;
    }
    EXPECT_EQ(SignatureKeyIds("kestralon-signature 1\n"), std::vector<std::string>{});
}

}  // namespace

TEST(VersionPatches, ParsesFormatsAndRefusesTheMalformed) {
    const std::string text = "kestralon-patches 1\nversion 4\nobject " + kDigestA + " " + kDigestB +
                             " 12\ndelta " + kDigestB + " " + kDigestA + " " + kDigestA + " 5\n";
    const auto patches = ParseVersionPatches(text);
    ASSERT_TRUE(patches);
    EXPECT_EQ(patches->version, 4);
    ASSERT_EQ(patches->objects.size(), 1u);
    EXPECT_EQ(patches->objects[0].object.size, 12u);
    ASSERT_EQ(patches->deltas.size(), 1u);
    EXPECT_EQ(patches->deltas[0].delta.size, 5u);
    EXPECT_EQ(FormatVersionPatches(*patches), text);
    EXPECT_EQ(ObjectName(patches->objects[0].content), "objects/" + kDigestA + ".zst");
    EXPECT_EQ(DeltaName(patches->deltas[0].from, patches->deltas[0].to),
              "deltas/" + kDigestB + "-" + kDigestA + ".zst");
    const struct {
        const char* what;
        std::string text;
    } refused[] = {
        {"other format", Replaced(text, "kestralon-patches 1", "kestralon-patches 2")},
        {"no version line", Replaced(text, "version 4\n", "")},
        {"an object twice", text + "object " + kDigestA + " " + kDigestA + " 3\n"},
        {"a delta twice", text + "delta " + kDigestB + " " + kDigestA + " " + kDigestB + " 9\n"},
        {"a delta to itself", Replaced(text, "delta " + kDigestB, "delta " + kDigestA)},
        {"a field missing", Replaced(text, " 12\n", "\n")},
        {"an unknown line", text + "chunk " + kDigestA + "\n"},
    };
    for (const auto& c : refused) EXPECT_EQ(ParseVersionPatches(c.text), std::nullopt) << c.what;
}

TEST(PatchRoute, TakesTheCheapestWayFirstAndTheWholeFileLast) {
    const auto content = [](char c) {
        Sha256Digest digest{};
        digest.fill(static_cast<std::uint8_t>(c));
        return digest;
    };
    const auto delta = [&](char from, char to, std::uint64_t size) {
        return PatchDelta{content(from), content(to), {size, content('z')}};
    };
    using Kind = FileWay::Kind;
    const FileDigest target{1000, content('d')};
    struct Way {
        Kind kind;
        std::uint64_t bytes;
        bool operator==(const Way&) const = default;
    };
    const struct {
        const char* what;
        std::vector<PatchDelta> deltas;
        std::optional<std::uint64_t> object;  // the object of 'd', when offered
        std::optional<char> installed;
        std::vector<Way> ways;
        // A repair fetches the installed version's bytes: no delta, and the
        // object whatever its size.
        bool repair;
        std::optional<std::string> local = {};  // a file of the game folder with the content
    } cases[] = {
        {"nothing offered", {}, std::nullopt, 'a', {{Kind::Whole, 1000}}, false},
        {"an object", {}, 300, 'a', {{Kind::Object, 300}, {Kind::Whole, 1000}}, false},
        {"an object no smaller than the file", {}, 1000, 'a', {{Kind::Whole, 1000}}, false},
        {"a delta from the installed copy",
         {delta('a', 'd', 40)},
         300,
         'a',
         {{Kind::Deltas, 40}, {Kind::Object, 300}, {Kind::Whole, 1000}},
         false},
        {"a delta larger than the object",
         {delta('a', 'd', 400)},
         300,
         'a',
         {{Kind::Object, 300}, {Kind::Whole, 1000}},
         false},
        {"a delta from another copy",
         {delta('b', 'd', 40)},
         300,
         'a',
         {{Kind::Object, 300}, {Kind::Whole, 1000}},
         false},
        {"no installed copy",
         {delta('a', 'd', 40)},
         300,
         std::nullopt,
         {{Kind::Object, 300}, {Kind::Whole, 1000}},
         false},
        {"installed already",
         {delta('a', 'd', 40)},
         300,
         'd',
         {{Kind::Object, 300}, {Kind::Whole, 1000}},
         false},
        {"a chain over two versions",
         {delta('a', 'b', 30), delta('b', 'd', 20)},
         300,
         'a',
         {{Kind::Deltas, 50}, {Kind::Object, 300}, {Kind::Whole, 1000}},
         false},
        {"the cheaper of a chain and a direct delta",
         {delta('a', 'b', 30), delta('b', 'd', 20), delta('a', 'd', 90)},
         300,
         'a',
         {{Kind::Deltas, 50}, {Kind::Object, 300}, {Kind::Whole, 1000}},
         false},
        {"a chain without an object",
         {delta('a', 'b', 30), delta('b', 'd', 20)},
         std::nullopt,
         'a',
         {{Kind::Deltas, 50}, {Kind::Whole, 1000}},
         false},
        {"a chain larger than the file",
         {delta('a', 'b', 600), delta('b', 'd', 600)},
         std::nullopt,
         'a',
         {{Kind::Whole, 1000}},
         false},
        {"a repair: an object", {}, 300, 'a', {{Kind::Object, 300}, {Kind::Whole, 1000}}, true},
        {"a repair: an object larger than the file",
         {},
         1010,
         'a',
         {{Kind::Object, 1010}, {Kind::Whole, 1000}},
         true},
        {"a repair: a delta is not taken",
         {delta('a', 'd', 40)},
         300,
         'a',
         {{Kind::Object, 300}, {Kind::Whole, 1000}},
         true},
        {"a repair without an object", {delta('a', 'd', 40)}, std::nullopt, 'a', {{Kind::Whole, 1000}}, true},
        // A file of the game folder said to hold the content goes first, and
        // moves nothing; the others stay behind it, as its copy is checked.
        {"a copy of another file",
         {delta('a', 'd', 40)},
         300,
         'a',
         {{Kind::Local, 0}, {Kind::Deltas, 40}, {Kind::Object, 300}, {Kind::Whole, 1000}},
         false,
         "moved/d.dat"},
        {"a copy, nothing offered",
         {},
         std::nullopt,
         std::nullopt,
         {{Kind::Local, 0}, {Kind::Whole, 1000}},
         false,
         "moved/d.dat"},
    };
    for (const auto& c : cases) {
        PatchOffer offer;
        VersionPatches patches;
        patches.deltas = c.deltas;
        if (c.object) patches.objects.push_back({content('d'), {*c.object, content('o')}});
        offer.Add(patches);
        std::optional<Sha256Digest> installed;
        if (c.installed) installed = content(*c.installed);
        std::vector<Way> ways;
        for (const FileWay& way :
             c.repair ? WaysToRepair(offer, target) : WaysToFetch(offer, installed, target, c.local)) {
            ways.push_back({way.kind, way.Bytes(1000)});
            EXPECT_EQ(way.source, way.kind == Kind::Local ? *c.local : "") << c.what;
        }
        EXPECT_EQ(ways, c.ways) << c.what;
    }
}

TEST(PackIndex, ParsesFormatsAndRefusesTheMalformed) {
    const std::string text = "kestralon-pack 1\nfrom\t3\nto\t6\npart\t" + kDigestA + "\t100\npart\t" +
                             kDigestB + "\t40\ndelta\t" + kDigestA +
                             "\t900\t0\t0\t60\tdata/a b.bin\nblank\t  \nobject\t" + kDigestB +
                             "\t70\t0\t60\t40\tdata/c\td.txt\nloose\t" + kDigestA +
                             "\t5000000\tbig.pak\nobject\t" + kDigestA + "\t10\t1\t0\t40\te\n";
    const auto index = ParsePackIndex(text);
    ASSERT_TRUE(index);
    std::string upperA = kDigestA;
    for (char& c : upperA) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(index->from, 3);
    EXPECT_EQ(index->to, 6);
    ASSERT_EQ(index->parts.size(), 2u);
    EXPECT_EQ(index->parts[1].size, 40u);
    ASSERT_EQ(index->entries.size(), 5u);
    const struct {
        PackEntry::Way way;
        const char* entry;
        std::uint64_t size, part, offset, length;
    } rows[] = {
        {PackEntry::Way::Delta, "data/a b.bin", 900, 0, 0, 60},
        {PackEntry::Way::Blank, "  ", 0, 0, 0, 0},
        {PackEntry::Way::Object, "data/c\td.txt", 70, 0, 60, 40},
        {PackEntry::Way::Loose, "big.pak", 5000000, 0, 0, 0},
        {PackEntry::Way::Object, "e", 10, 1, 0, 40},
    };
    for (std::size_t k = 0; k < std::size(rows); ++k) {
        const PackEntry& entry = index->entries[k];
        EXPECT_EQ(entry.way, rows[k].way) << k;
        EXPECT_EQ(entry.entry, rows[k].entry) << k;
        EXPECT_EQ(entry.expected.size, rows[k].size) << k;
        EXPECT_EQ(entry.part, rows[k].part) << k;
        EXPECT_EQ(entry.offset, rows[k].offset) << k;
        EXPECT_EQ(entry.length, rows[k].length) << k;
    }
    EXPECT_EQ(Hex(index->entries[0].expected.sha256), kDigestA);
    EXPECT_EQ(FormatPackIndex(*index), text);
    EXPECT_EQ(PackPartName(-2, 6, 11), "packs/-2-6.11.part");

    const struct {
        const char* what;
        std::string text;
    } refused[] = {
        {"other format", Replaced(text, "kestralon-pack 1", "kestralon-pack 2")},
        {"no from line", Replaced(text, "from\t3\n", "")},
        {"from not below to", Replaced(text, "from\t3", "from\t6")},
        {"cut before its last line end", text.substr(0, text.size() - 1)},
        {"a part after an entry", text + "part\t" + kDigestA + "\t9\n"},
        {"a part of no bytes", Replaced(text, "\t40\n", "\t0\n")},
        {"an entry twice", text + "loose\t" + kDigestA + "\t1\tbig.pak\n"},
        {"a blank entry twice", text + "blank\t  \n"},
        {"a member past its part", Replaced(text, "\t60\t40\t", "\t61\t40\t")},
        {"a member of no bytes", Replaced(text, "\t1\t0\t40\t", "\t1\t0\t0\t")},
        {"a member in a part that does not exist", Replaced(text, "\t1\t0\t40\t", "\t2\t0\t40\t")},
        {"a blank entry that is not blank", Replaced(text, "blank\t  ", "blank\t x")},
        {"a non-blank way for a blank entry", Replaced(text, "\tbig.pak", "\t ")},
        {"a field missing", Replaced(text, "\t5000000\tbig.pak", "\tbig.pak")},
        {"a size that is not plain decimal", Replaced(text, "\t900\t", "\t0900\t")},
        {"a digest in capitals", Replaced(text, "delta\t" + kDigestA, "delta\t" + upperA)},
        {"an unknown way", Replaced(text, "loose\t", "copy\t")},
        {"an entry holding a CR", Replaced(text, "\tbig.pak", "\tbig\r.pak")},
    };
    for (const auto& c : refused) EXPECT_EQ(ParsePackIndex(c.text), std::nullopt) << c.what;
}
