// The CNG backend (crypto_cng.cpp) through the real bcrypt.dll (Wine's, in
// the test run): SHA-256 known answers, the RFC 6979 signatures, and vectors
// made on Linux at test time by the openssl tool (run.py): digests of
// generated files and signatures, among them some whose r or s is shorter
// than 32 bytes in DER, with their tampered copies. Beside them, the zstd
// codec (zstd_codec.h) as the Windows build links it (zstd built with
// mingw-w64, static): objects and deltas made by the zstd tool on Linux,
// decoded and hashed here, and frames made and decoded here.
//   crypto_win_test.exe VECTORS_FILE
// Each line of VECTORS_FILE:
//   sha256 <expected digest> <file>
//   verify <public key> <message hex> <signature r||s> <1 valid | 0 invalid> <label>
//   zstd-object <expected digest> <size> <compressed object>
//   zstd-delta <expected digest> <size> <old file> <delta>
//   zstd-refused <label> <old file, or - for an object> <frame>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <zstd.h>

#include "check.h"
#include "operator/encode/segmented_encode.h"
#include "operator/encode/zstd_encode.h"
#include "update/patch/segment_map.h"
#include "update/trust/crypto.h"
#include "update/trust/signed_metadata.h"

namespace {

std::string vectorsFile;

std::string Bytes(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> Array(const std::string& hex) {
    std::array<std::uint8_t, N> out{};
    const std::string bytes = Bytes(hex);
    REQUIRE(bytes.size() == N);
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

TEST_CASE(Sha256, KnownAnswers) {
    CHECK_EQ(Hex(Sha256Of("")),
             std::string("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    CHECK_EQ(Hex(Sha256Of("abc")),
             std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    CHECK_EQ(Hex(Sha256Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
             std::string("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
    // A million "a" in uneven pieces; then the same object hashes anew.
    const std::string a(1000000, 'a');
    Sha256 hash;
    std::size_t done = 0;
    for (std::size_t piece = 1; done < a.size(); piece = piece * 3 + 1) {
        const std::size_t n = std::min(piece, a.size() - done);
        hash.Update(a.data() + done, n);
        done += n;
    }
    CHECK_EQ(Hex(hash.Finish()),
             std::string("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
    hash.Update("abc", 3);
    CHECK_EQ(Hex(hash.Finish()),
             std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

TEST_CASE(Verify, Rfc6979Signatures) {
    const auto key = Array<64>(
        "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
        "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299");
    const auto sample = Array<64>(
        "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
        "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8");
    CHECK(VerifySignature(key, "sample", sample));
    CHECK(!VerifySignature(key, "sample!", sample));
    auto flipped = sample;
    flipped[40] ^= 0x80;
    CHECK(!VerifySignature(key, "sample", flipped));
    auto offCurve = key;
    offCurve[63] ^= 0x01;
    CHECK(!VerifySignature(offCurve, "sample", sample));
    CHECK(!VerifySignature(key, "sample", Signature{}));
}

TEST_CASE(Vectors, FromOpenssl) {
    std::ifstream in(vectorsFile);
    REQUIRE(in.is_open());
    std::string line;
    int digests = 0, signatures = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "sha256") {
            std::string expected, file;
            words >> expected;
            std::getline(words >> std::ws, file);
            std::ifstream data(file, std::ios::binary);
            REQUIRE(data.is_open());
            Sha256 hash;
            char piece[65536];
            while (data.read(piece, sizeof piece) || data.gcount() > 0) {
                hash.Update(piece, static_cast<std::size_t>(data.gcount()));
            }
            const std::string actual = Hex(hash.Finish());
            if (actual != expected)
                check::Fail(__FILE__, __LINE__, "SHA-256 of " + file + ": " + actual, false);
            ++digests;
        } else if (kind == "verify") {
            std::string key, message, signature, label;
            int valid = 0;
            words >> key >> message >> signature >> valid >> label;
            const bool verified = VerifySignature(Array<64>(key), Bytes(message), Array<64>(signature));
            if (verified != (valid == 1)) {
                check::Fail(__FILE__, __LINE__, label + (verified ? ": accepted" : ": refused"), false);
            }
            ++signatures;
        }
    }
    std::cout << "    " << digests << " digests, " << signatures << " signatures checked\n";
    CHECK(digests > 0 && signatures > 0);
}

// ---- zstd: the codec as the Windows build links it --------------------------

ByteSink Into(std::string& bytes) {
    return [&bytes](const char* data, std::size_t size) {
        bytes.append(data, size);
        return true;
    };
}

// A delta applied to a file of any folder, reached as the updater reaches
// the installed files of the game folder.
FileDigest ApplyDeltaTo(const std::filesystem::path& old, std::istream& delta, const ByteSink& out,
                        std::uint64_t most) {
    const std::filesystem::path file = std::filesystem::absolute(old);
    const std::u8string name = file.filename().u8string();
    return ApplyDelta(*OpenFolder(file.parent_path()), std::string(name.begin(), name.end()), delta, out,
                      most);
}

TEST_CASE(Zstd, FramesOfTheZstdTool) {
    std::ifstream in(vectorsFile);
    REQUIRE(in.is_open());
    std::string line;
    int rebuilt = 0, refused = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "zstd-object" || kind == "zstd-delta") {
            std::string expected, old, frame;
            std::uint64_t size = 0;
            words >> expected >> size;
            if (kind == "zstd-delta") words >> old;
            words >> frame;
            std::ifstream compressed(frame, std::ios::binary);
            REQUIRE(compressed.is_open());
            std::string output;
            const FileDigest digest = kind == "zstd-object"
                                          ? DecompressObject(compressed, Into(output), size)
                                          : ApplyDeltaTo(old, compressed, Into(output), size);
            CHECK_EQ(Hex(digest.sha256), expected);
            CHECK_EQ(digest.size, size);
            CHECK_EQ(Hex(Sha256Of(output)), expected);
            ++rebuilt;
        } else if (kind == "zstd-refused") {
            std::string label, old, frame;
            words >> label >> old >> frame;
            std::ifstream compressed(frame, std::ios::binary);
            REQUIRE(compressed.is_open());
            std::string output;
            try {
                if (old == "-") {
                    DecompressObject(compressed, Into(output), 1 << 30);
                } else {
                    ApplyDeltaTo(old, compressed, Into(output), 1 << 30);
                }
                check::Fail(__FILE__, __LINE__, label + ": decoded", false);
            } catch (const CodecError& error) {
                std::cout << "    " << label << ": " << error.what() << "\n";
                CHECK(error.kind() == CodecError::Kind::Damaged);
            }
            ++refused;
        }
    }
    std::cout << "    " << rebuilt << " frames decoded, " << refused << " refused\n";
    CHECK(rebuilt > 0 && refused > 0);
}

// The compressor is in the static library too: an object and a delta made
// here decode here to the same bytes.
TEST_CASE(Zstd, MadeAndDecodedHere) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / "crypto_win_test_zstd";
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::string old, made;
    for (int k = 0; k < 200000; ++k) old += "Kestralon " + std::to_string(k * 7919 % 100003) + "\r\n";
    made = old.substr(old.size() / 2) + "nouveau" + old.substr(0, old.size() / 2);
    for (const auto& [name, bytes] : {std::pair{"old.bin", &old}, std::pair{"new.bin", &made}}) {
        std::ofstream(folder / name, std::ios::binary)
            .write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
    }

    std::string object, delta;
    const FileDigest objectDigest = CompressObject(folder / "new.bin", Into(object), 3);
    const FileDigest deltaDigest = MakeDelta(folder / "old.bin", folder / "new.bin", Into(delta), 3);
    CHECK(objectDigest == DigestOf(object));
    CHECK(deltaDigest == DigestOf(delta));
    CHECK(delta.size() * 20 < object.size());

    std::string fromObject, fromDelta;
    std::istringstream objectIn(object), deltaIn(delta);
    CHECK(DecompressObject(objectIn, Into(fromObject), made.size()) == DigestOf(made));
    CHECK(ApplyDeltaTo(folder / "old.bin", deltaIn, Into(fromDelta), made.size()) == DigestOf(made));
    CHECK(fromObject == made);
    CHECK(fromDelta == made);

    // Segmented, in small segments: the segments decoded on several threads,
    // the old file read by ranges through Windows' C runtime.
    SegmentedDeltaOptions options;
    options.level = 3;
    options.sizes = ScaledSegmentSizes(64 << 10);
    options.threads = 2;
    std::string segmented, fromSegments;
    const std::optional<FileDigest> segmentedDigest = MakeSegmentedDelta(
        folder / "old.bin", folder / "new.bin", folder / "spill", Into(segmented), options);
    CHECK(segmentedDigest && *segmentedDigest == DigestOf(segmented));
    CHECK(segmented.size() * 20 < object.size());
    std::istringstream segmentedIn(segmented);
    CHECK(ApplyDelta(folder / "old.bin", segmentedIn, Into(fromSegments), made.size(),
                     {4, kApplyMemoryBudget}) == DigestOf(made));
    CHECK(fromSegments == made);
    fs::remove_all(folder);
}

// Offsets beyond 32 bits through Windows' C runtime: an old file of 5 GiB
// (sparse on the Linux file system under Wine), a segment copied from its
// end and one decoded from a range beyond 4 GiB.
TEST_CASE(Zstd, SegmentsPastFourGiB) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / "crypto_win_test_far";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path oldFile = folder / "old.bin";
    const std::uint64_t tail = std::uint64_t{5} << 30;
    const std::string last = "Kestralon, 5 GiB into the file";
    std::ofstream(oldFile, std::ios::binary).close();
    fs::resize_file(oldFile, tail);
    std::ofstream(oldFile, std::ios::binary | std::ios::in | std::ios::out)
        .seekp(static_cast<std::streamoff>(tail))
        .write(last.data(), static_cast<std::streamsize>(last.size()));
    const std::uint64_t oldSize = tail + last.size();
    CHECK_EQ(fs::file_size(oldFile), oldSize);

    const std::string made = last + " and " + last, rest = made.substr(last.size());
    const std::string reference = std::string(64, '\0') + last;
    std::string frame(ZSTD_compressBound(rest.size()), '\0');
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_refPrefix(context, reference.data(), reference.size());
    frame.resize(ZSTD_compress2(context, frame.data(), frame.size(), rest.data(), rest.size()));
    ZSTD_freeCCtx(context);
    const SegmentMap map{
        made.size(),
        oldSize,
        {{last.size(), tail, last.size(), 0}, {rest.size(), tail - 64, reference.size(), frame.size()}}};
    std::istringstream in(FormatSegmentMap(map) + frame);
    std::string output;
    CHECK(ApplyDelta(oldFile, in, Into(output), made.size()) == DigestOf(made));
    CHECK(output == made);
    fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    vectorsFile = argc > 1 ? argv[1] : "";
    return check::RunAll();
}
