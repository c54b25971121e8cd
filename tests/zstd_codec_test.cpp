// Compressed objects and deltas (update/patch/zstd_codec.h) on real files: each row
// makes a frame (with the operators' side, or with libzstd directly for the
// frames this program never makes), perhaps damages it on the way, and
// decodes it as the updater does. The output must be the file byte for byte,
// with its digest, or the frame must be refused for the reason given.
#include "operator/encode/zstd_encode.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zstd.h>

#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

template <class Case>
std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

// Random bytes: nothing to compress but what another file shares.
std::string Noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

// Words of a small vocabulary: compresses well.
std::string Words(std::size_t size, unsigned seed) {
    static const char* const kWords[] = {"kestralon ", "mise ",  "jour ",   "fichier ", "version\r\n",
                                         "0x1F ",      "carte ", "joueur ", "niveau ",  "\x00\x01\x02 "};
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size) text += kWords[random() % std::size(kWords)];
    text.resize(size);
    return text;
}

// old with some bytes changed, a piece taken out, another put in.
std::string Edited(std::string old, unsigned seed) {
    std::mt19937 random(seed);
    for (int k = 0; k < 20 && !old.empty(); ++k) old[random() % old.size()] ^= 0x5A;
    if (old.size() > 1000) old.erase(old.size() / 3, 700);
    old.insert(old.size() / 2, Noise(3000, seed + 1));
    return old;
}

// A byte that Edited() keeps, so that the new file holds it.
std::string OneByteChanged(std::string old) {
    old[old.size() / 5] ^= 1;
    return old;
}

// old's halves swapped: the new file's end lies at the old file's start,
// as far back as the two files reach.
std::string Swapped(const std::string& old) {
    return old.substr(old.size() / 2) + old.substr(0, old.size() / 2);
}

constexpr std::size_t kTextSize = 1 << 20;

// What a file of a row holds, made when the row runs (not when the program
// starts: every test of the program runs in a process of its own).
enum class Base { None, OneByte, Text, Noise, OtherNoise, BigNoise, Small };
enum class Shape { AsIs, Edited, Swapped, OneByteChanged, FirstQuarter };
struct Content {
    Base base = Base::None;
    Shape shape = Shape::AsIs;
};

std::string Make(const Content& content) {
    std::string bytes;
    switch (content.base) {
        case Base::None:
            break;
        case Base::OneByte:
            bytes = "k";
            break;
        case Base::Text:
            bytes = Words(kTextSize, 1);
            break;
        case Base::Noise:
            bytes = Noise(1 << 20, 2);
            break;
        case Base::OtherNoise:
            bytes = Noise(1 << 20, 3);
            break;
        case Base::BigNoise:
            bytes = Noise(12 << 20, 4);
            break;
        case Base::Small:
            bytes = Words(1000, 5);
            break;
    }
    switch (content.shape) {
        case Shape::AsIs:
            return bytes;
        case Shape::Edited:
            return Edited(bytes, 6);
        case Shape::Swapped:
            return Swapped(bytes);
        case Shape::OneByteChanged:
            return OneByteChanged(bytes);
        case Shape::FirstQuarter:
            return bytes.substr(0, bytes.size() / 4);
    }
    return bytes;
}

enum class Form { Object, Delta };

// How the frame is made.
enum class Frame {
    Ours,        // CompressObject or MakeDelta
    NoChecksum,  // libzstd without the content checksum
    WindowOf27,  // libzstd, a declared window of 2^27 (no content size)
    WindowOf28,  // the same at 2^28
    WindowOf29,  // the same at 2^29
    PlainFile,   // the file itself, not compressed
    Nothing,     // no byte at all
};

// What happens to the frame on its way.
enum class Change { None, CutAtEnd, CutInHalf, FlipByte, ByteAfter, FrameAfter };

struct CodecCase {
    const char* name;
    Form form;
    Content old = {};   // deltas: the old file the delta is made from
    Content made = {};  // the file the frame carries
    Frame frame = Frame::Ours;
    Change change = Change::None;
    std::optional<Content> appliedTo = {};   // deltas: the old file it is applied to, when another
    std::optional<std::uint64_t> most = {};  // the largest output accepted; the file's size when not given
    std::optional<CodecError::Kind> refused = {};
    const char* mentions = "";  // a refusal's message holds this
    double atMost = 2.0;        // the frame is at most this share of the file (plus a header's worth)
};

void PrintTo(const CodecCase& c, std::ostream* out) {
    *out << c.name;
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ByteSink Into(std::string& bytes) {
    return [&bytes](const char* data, std::size_t size) {
        bytes.append(data, size);
        return true;
    };
}

// A frame made with libzstd directly, for the frames this program never makes.
std::string RawFrame(const std::string& made, const std::string& prefix, bool checksum, int windowLog) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    if (windowLog > 0) {
        // Without a content size, and with the input given before the end
        // is asked for, zstd keeps the window asked for.
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
        ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    }
    if (!prefix.empty()) ZSTD_CCtx_refPrefix(context, prefix.data(), prefix.size());
    std::string frame;
    std::string piece(ZSTD_CStreamOutSize(), '\0');
    ZSTD_inBuffer in{made.data(), made.size(), 0};
    for (const ZSTD_EndDirective mode : {ZSTD_e_continue, ZSTD_e_end}) {
        std::size_t left = 0;
        do {
            ZSTD_outBuffer out{piece.data(), piece.size(), 0};
            left = ZSTD_compressStream2(context, &out, &in, mode);
            EXPECT_FALSE(ZSTD_isError(left)) << ZSTD_getErrorName(left);
            frame.append(piece.data(), out.pos);
        } while (mode == ZSTD_e_end ? left != 0 : in.pos < in.size);
    }
    ZSTD_freeCCtx(context);
    return frame;
}

class Scratch : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("zstd-codec-test-" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        scratch_ = OpenFolder(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
    // The same folder as the updater reaches it: deltas apply to its files.
    std::unique_ptr<GameFolder> scratch_;
};

class CodecTest : public Scratch, public testing::WithParamInterface<CodecCase> {};

TEST_P(CodecTest, RebuildsTheFileOrRefusesTheFrame) {
    const CodecCase& c = GetParam();
    const fs::path oldFile = folder_ / "old.bin", newFile = folder_ / "new.bin",
                   otherOld = folder_ / "other.bin";
    const std::string old = Make(c.old), made = Make(c.made);
    Write(oldFile, old);
    Write(newFile, made);

    std::string frame;
    switch (c.frame) {
        case Frame::Ours: {
            const FileDigest digest = c.form == Form::Object ? CompressObject(newFile, Into(frame), 3)
                                                             : MakeDelta(oldFile, newFile, Into(frame), 3);
            EXPECT_EQ(digest, DigestOf(frame)) << "the digest reported is the frame's";
            break;
        }
        case Frame::NoChecksum:
            frame = RawFrame(made, c.form == Form::Delta ? old : "", false, 0);
            break;
        case Frame::WindowOf27:
        case Frame::WindowOf28:
        case Frame::WindowOf29:
            frame = RawFrame(made, c.form == Form::Delta ? old : "", true,
                             27 + static_cast<int>(c.frame) - static_cast<int>(Frame::WindowOf27));
            break;
        case Frame::PlainFile:
            frame = made;
            break;
        case Frame::Nothing:
            break;
    }
    EXPECT_LE(frame.size(), c.atMost * static_cast<double>(made.size()) + 64) << "frame of " << frame.size();

    switch (c.change) {
        case Change::None:
            break;
        case Change::CutAtEnd:
            frame.resize(frame.size() - 3);
            break;
        case Change::CutInHalf:
            frame.resize(frame.size() / 2);
            break;
        case Change::FlipByte:
            frame[frame.size() / 2] ^= 0x10;
            break;
        case Change::ByteAfter:
            frame += 'x';
            break;
        case Change::FrameAfter:
            frame += frame;
            break;
    }
    const fs::path frameFile = folder_ / "frame.zst";
    Write(frameFile, frame);
    if (c.appliedTo) Write(otherOld, Make(*c.appliedTo));

    std::ifstream in(frameFile, std::ios::binary);
    std::string output;
    const std::uint64_t most = c.most.value_or(made.size());
    const auto decode = [&] {
        return c.form == Form::Object
                   ? DecompressObject(in, Into(output), most)
                   : ApplyDelta(*scratch_, c.appliedTo ? "other.bin" : "old.bin", in, Into(output), most);
    };
    if (!c.refused) {
        const FileDigest rebuilt = decode();
        EXPECT_TRUE(output == made) << "output of " << output.size() << " bytes, file of " << made.size();
        EXPECT_EQ(rebuilt, DigestOf(made));
        return;
    }
    try {
        decode();
        ADD_FAILURE() << "decoded " << output.size() << " bytes";
    } catch (const CodecError& error) {
        EXPECT_EQ(error.kind(), *c.refused) << error.what();
        EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << error.what();
    }
}

const Content kText{Base::Text}, kNoise{Base::Noise}, kSmall{Base::Small};
constexpr auto kDamaged = CodecError::Kind::Damaged;

INSTANTIATE_TEST_SUITE_P(
    Objects, CodecTest,
    testing::Values(CodecCase{.name = "text", .form = Form::Object, .made = kText, .atMost = 0.5},
                    CodecCase{.name = "noise", .form = Form::Object, .made = kNoise, .atMost = 1.01},
                    CodecCase{.name = "empty_file", .form = Form::Object, .made = {}},
                    CodecCase{.name = "one_byte", .form = Form::Object, .made = {Base::OneByte}},
                    CodecCase{.name = "declared_window_at_the_limit_accepted",
                              .form = Form::Object,
                              .made = kText,
                              .frame = Frame::WindowOf27},
                    CodecCase{.name = "declared_window_beyond_the_limit",
                              .form = Form::Object,
                              .made = kText,
                              .frame = Frame::WindowOf28,
                              .refused = kDamaged,
                              .mentions = "window of 268435456 bytes"},
                    CodecCase{.name = "no_checksum",
                              .form = Form::Object,
                              .made = kText,
                              .frame = Frame::NoChecksum,
                              .refused = kDamaged,
                              .mentions = "no content checksum"},
                    CodecCase{.name = "not_compressed",
                              .form = Form::Object,
                              .made = kText,
                              .frame = Frame::PlainFile,
                              .refused = kDamaged,
                              .mentions = "not a zstd frame"},
                    CodecCase{.name = "no_byte",
                              .form = Form::Object,
                              .made = kText,
                              .frame = Frame::Nothing,
                              .refused = kDamaged,
                              .mentions = "empty"},
                    CodecCase{.name = "cut_at_its_end",
                              .form = Form::Object,
                              .made = kText,
                              .change = Change::CutAtEnd,
                              .refused = kDamaged,
                              .mentions = "cut short"},
                    CodecCase{.name = "cut_in_half",
                              .form = Form::Object,
                              .made = kText,
                              .change = Change::CutInHalf,
                              .refused = kDamaged,
                              .mentions = "cut short"},
                    CodecCase{.name = "byte_flipped",
                              .form = Form::Object,
                              .made = kText,
                              .change = Change::FlipByte,
                              .refused = kDamaged},
                    CodecCase{.name = "byte_after_the_frame",
                              .form = Form::Object,
                              .made = kText,
                              .change = Change::ByteAfter,
                              .refused = kDamaged,
                              .mentions = "goes on after its frame"},
                    CodecCase{.name = "second_frame_after",
                              .form = Form::Object,
                              .made = kText,
                              .change = Change::FrameAfter,
                              .refused = kDamaged,
                              .mentions = "goes on after its frame"},
                    CodecCase{.name = "larger_than_expected",
                              .form = Form::Object,
                              .made = kText,
                              .most = kTextSize - 1,
                              .refused = kDamaged,
                              .mentions = "more than the 1048575 bytes expected"},
                    CodecCase{.name = "larger_than_expected_without_declared_size",
                              .form = Form::Object,
                              .made = kText,
                              .frame = Frame::WindowOf27,
                              .most = kTextSize - 1,
                              .refused = kDamaged,
                              .mentions = "decodes to more than the 1048575 bytes expected"}),
    CaseName<CodecCase>);

INSTANTIATE_TEST_SUITE_P(
    Deltas, CodecTest,
    testing::Values(
        CodecCase{.name = "edited_text",
                  .form = Form::Delta,
                  .old = kText,
                  .made = {Base::Text, Shape::Edited},
                  .atMost = 0.02},
        CodecCase{.name = "edited_noise",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .atMost = 0.02},
        // 12 MiB of noise whose halves trade places: the new file's last
        // bytes come from the old file's first ones, 12 MiB back, beyond the
        // level's own window; only a window over both files finds them.
        CodecCase{.name = "far_moves",
                  .form = Form::Delta,
                  .old = {Base::BigNoise},
                  .made = {Base::BigNoise, Shape::Swapped},
                  .atMost = 0.01},
        CodecCase{.name = "same_file", .form = Form::Delta, .old = kNoise, .made = kNoise, .atMost = 0.01},
        CodecCase{.name = "from_an_empty_file", .form = Form::Delta, .old = {}, .made = kText, .atMost = 0.5},
        CodecCase{.name = "to_an_empty_file", .form = Form::Delta, .old = kText, .made = {}},
        CodecCase{.name = "both_empty", .form = Form::Delta, .old = {}, .made = {}},
        CodecCase{
            .name = "small_files", .form = Form::Delta, .old = kSmall, .made = {Base::Small, Shape::Edited}},
        CodecCase{.name = "applied_to_another_old_file_of_the_same_size",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .appliedTo = Content{Base::OtherNoise},
                  .refused = kDamaged,
                  .mentions = "made from another old file"},
        CodecCase{.name = "applied_to_the_old_file_one_byte_changed",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .appliedTo = Content{Base::Noise, Shape::OneByteChanged},
                  .refused = kDamaged,
                  .mentions = "checksum"},
        CodecCase{.name = "applied_to_a_shorter_old_file",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .appliedTo = Content{Base::Noise, Shape::FirstQuarter},
                  .refused = kDamaged},
        CodecCase{.name = "applied_to_an_empty_old_file",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .appliedTo = Content{},
                  .refused = kDamaged},
        CodecCase{.name = "cut_at_its_end",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .change = Change::CutAtEnd,
                  .refused = kDamaged,
                  .mentions = "cut short"},
        CodecCase{.name = "cut_in_half",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .change = Change::CutInHalf,
                  .refused = kDamaged,
                  .mentions = "cut short"},
        CodecCase{.name = "byte_flipped",
                  .form = Form::Delta,
                  .old = kText,
                  .made = {Base::Text, Shape::Edited},
                  .change = Change::FlipByte,
                  .refused = kDamaged},
        CodecCase{.name = "byte_after_the_frame",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .change = Change::ByteAfter,
                  .refused = kDamaged,
                  .mentions = "goes on after its frame"},
        CodecCase{.name = "no_checksum",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .frame = Frame::NoChecksum,
                  .refused = kDamaged,
                  .mentions = "no content checksum"},
        // A small old file: the limit is its size plus 256 MiB, below 2^29.
        CodecCase{.name = "declared_window_beyond_the_limit",
                  .form = Form::Delta,
                  .old = kSmall,
                  .made = {Base::Small, Shape::Edited},
                  .frame = Frame::WindowOf29,
                  .refused = kDamaged,
                  .mentions = "window of 536870912 bytes, more than the 268436456 bytes accepted"},
        CodecCase{.name = "declared_window_within_the_limit",
                  .form = Form::Delta,
                  .old = kSmall,
                  .made = {Base::Small, Shape::Edited},
                  .frame = Frame::WindowOf28},
        CodecCase{.name = "larger_than_expected",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .most = 1000,
                  .refused = kDamaged,
                  .mentions = "more than the 1000 bytes expected"}),
    CaseName<CodecCase>);

TEST_F(Scratch, RefusalsBeforeAnythingIsRead) {
    const fs::path small = folder_ / "small.bin", huge = folder_ / "huge.bin", grown = folder_ / "grown.bin";
    const std::string smallBytes = Make(kSmall);
    Write(small, smallBytes);
    // Sparse files: their size alone is refused.
    std::ofstream(huge, std::ios::binary).close();
    fs::resize_file(huge, kDeltaMostBytes + 1);
    std::ofstream(grown, std::ios::binary).close();
    fs::resize_file(grown, smallBytes.size() + kDeltaGrowthBytes + 1);

    std::string out;
    const auto kind = [](const auto& call) -> std::optional<CodecError::Kind> {
        try {
            call();
        } catch (const CodecError& error) {
            return error.kind();
        }
        return std::nullopt;
    };
    EXPECT_EQ(kind([&] { MakeDelta(huge, small, Into(out), 3); }), CodecError::Kind::TooLarge);
    EXPECT_EQ(kind([&] { MakeDelta(small, huge, Into(out), 3); }), CodecError::Kind::TooLarge);
    EXPECT_EQ(kind([&] { MakeDelta(small, grown, Into(out), 3); }), CodecError::Kind::TooLarge);
    std::istringstream delta("");
    EXPECT_EQ(kind([&] { ApplyDelta(*scratch_, "huge.bin", delta, Into(out), 1000); }),
              CodecError::Kind::TooLarge);
    EXPECT_EQ(out, "");

    const fs::path missing = folder_ / "missing.bin";
    EXPECT_EQ(kind([&] { MakeDelta(missing, small, Into(out), 3); }), CodecError::Kind::Unreadable);
    EXPECT_EQ(kind([&] { MakeDelta(small, missing, Into(out), 3); }), CodecError::Kind::Unreadable);
    EXPECT_EQ(kind([&] { CompressObject(missing, Into(out), 3); }), CodecError::Kind::Unreadable);
    EXPECT_EQ(kind([&] { CompressObject(folder_, Into(out), 3); }), CodecError::Kind::Unreadable);
    EXPECT_EQ(kind([&] { ApplyDelta(*scratch_, "missing.bin", delta, Into(out), 1000); }),
              CodecError::Kind::Unreadable);
    EXPECT_EQ(kind([&] { ApplyDelta(*scratch_, ".", delta, Into(out), 1000); }),
              CodecError::Kind::Unreadable);

    EXPECT_THROW(CompressObject(small, Into(out), 0), std::invalid_argument);
    EXPECT_THROW(MakeDelta(small, small, Into(out), ZSTD_maxCLevel() + 1), std::invalid_argument);
}

TEST_F(Scratch, ASinkThatRefusesStopsTheCoding) {
    const fs::path file = folder_ / "file.bin";
    const std::string noise = Make(kNoise);
    Write(file, noise);
    const ByteSink refuse = [](const char*, std::size_t) { return false; };
    try {
        CompressObject(file, refuse, 3);
        ADD_FAILURE() << "compressed into a sink that refuses";
    } catch (const CodecError& error) {
        EXPECT_EQ(error.kind(), CodecError::Kind::Unwritable) << error.what();
    }
    std::string frame;
    CompressObject(file, Into(frame), 3);
    std::istringstream in(frame);
    try {
        DecompressObject(in, refuse, noise.size());
        ADD_FAILURE() << "decoded into a sink that refuses";
    } catch (const CodecError& error) {
        EXPECT_EQ(error.kind(), CodecError::Kind::Unwritable) << error.what();
    }
}

struct PlayerCase {
    const char* name;
    CodecError::Kind kind;
    std::string shown;
};

void PrintTo(const PlayerCase& c, std::ostream* out) {
    *out << c.name;
}

class PlayerFailureTest : public testing::TestWithParam<PlayerCase> {};

TEST_P(PlayerFailureTest, ShowsTheWindowsWords) {
    const PlayerCase& c = GetParam();
    const UpdateFailure failure = PlayerFailure(CodecError(c.kind, "English for the log"), "Data\\carte.pak");
    EXPECT_EQ(std::string(failure.what()), c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlayerFailureTest,
    testing::Values(
        PlayerCase{"damaged", CodecError::Kind::Damaged, "Fichier altéré: Data\\carte.pak."},
        PlayerCase{"too_large", CodecError::Kind::TooLarge, "Fichier altéré: Data\\carte.pak."},
        PlayerCase{"unreadable", CodecError::Kind::Unreadable, "Impossible de lire Data\\carte.pak."},
        PlayerCase{"unwritable", CodecError::Kind::Unwritable, "Impossible d'écrire Data\\carte.pak."},
        PlayerCase{"no_memory", CodecError::Kind::NoMemory, "Mémoire insuffisante."}),
    CaseName<PlayerCase>);

}  // namespace
