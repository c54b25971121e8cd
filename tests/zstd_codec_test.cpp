// Compressed objects and deltas (update/patch/zstd_codec.h) on real files: each row
// makes a frame or a segmented delta (with the operators' side, or with
// libzstd directly for the frames this program never makes), perhaps damages
// it on the way, and decodes it as the updater does. The output must be the
// file byte for byte, with its digest, or the delta must be refused for the
// reason given. Segmented deltas are made of small segments (64 KiB), so that
// files of a few MB have dozens of them.
#include "operator/encode/zstd_encode.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zstd.h>

#include "failure.h"
#include "operator/encode/segment_plan.h"
#include "operator/encode/segmented_encode.h"
#include "update/patch/segment_map.h"
#include "update/rebuild_queue.h"

#include <fstream>
#include <map>
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

// Blocks of words and of noise in turns, 64 KiB each: a game archive's
// compressible and already compressed parts.
std::string Mixed(std::size_t size, unsigned seed) {
    std::string bytes;
    for (unsigned block = 0; bytes.size() < size; ++block)
        bytes += block % 2 ? Noise(64 << 10, seed + block) : Words(64 << 10, seed + block);
    bytes.resize(size);
    return bytes;
}

// What a new version of a game archive does to its old bytes, at places drawn from seed.
std::string Overwritten(std::string old, unsigned seed) {
    std::mt19937 random(seed);
    for (int k = 0; k < 24; ++k) old.replace(random() % (old.size() - 4096), 4096, Noise(4096, seed + k));
    return old;
}
std::string Inserted(std::string old, unsigned seed) {
    std::mt19937 random(seed);
    for (int k = 0; k < 6; ++k) old.insert(random() % old.size(), Noise(32 << 10, seed + k));
    return old;
}
std::string Removed(std::string old, unsigned seed) {
    std::mt19937 random(seed);
    for (int k = 0; k < 6; ++k) old.erase(random() % (old.size() - (16 << 10)), 16 << 10);
    return old;
}
// 256 KiB from a quarter of the file put at three quarters.
std::string Moved(std::string old) {
    const std::string block = old.substr(old.size() / 4, 256 << 10);
    old.erase(old.size() / 4, block.size());
    old.insert(old.size() * 3 / 4, block);
    return old;
}

constexpr std::size_t kTextSize = 1 << 20;
constexpr std::size_t kMixedSize = 3 << 20;

// What a file of a row holds, made when the row runs (not when the program
// starts: every test of the program runs in a process of its own).
enum class Base { None, OneByte, Text, Noise, OtherNoise, BigNoise, Small, Mixed, OtherMixed };
enum class Shape {
    AsIs,
    Edited,
    Swapped,
    OneByteChanged,
    FirstQuarter,
    Overwritten,
    Inserted,
    Removed,
    Moved,
    AllEdits,
    // 4 KiB of noise written 2 KiB after the byte OneByteChanged changes,
    // so that the frame of this change reads that byte of the old file.
    OverwrittenNearAFifth,
};
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
        case Base::Mixed:
            bytes = Mixed(kMixedSize, 7);
            break;
        case Base::OtherMixed:
            bytes = Mixed(kMixedSize, 8);
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
        case Shape::Overwritten:
            return Overwritten(bytes, 9);
        case Shape::Inserted:
            return Inserted(bytes, 10);
        case Shape::Removed:
            return Removed(bytes, 11);
        case Shape::Moved:
            return Moved(bytes);
        case Shape::AllEdits:
            return Moved(Removed(Inserted(Overwritten(bytes, 12), 13), 14));
        case Shape::OverwrittenNearAFifth:
            return bytes.replace(bytes.size() / 5 + 2048, 4096, Noise(4096, 15));
    }
    return bytes;
}

enum class Form { Object, Delta, Segmented };

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

// What happens to the frame on its way; for a segmented delta, to its map.
enum class Change {
    None,
    CutAtEnd,
    CutInHalf,
    FlipByte,
    ByteAfter,
    FrameAfter,
    MapCut,                   // the delta ends inside its map
    MapOfAnotherFormat,       // the map's format number
    MapLengthBeyondAny,       // the skippable frame's length
    CountOverflows,           // a count whose segments' bytes overflow 64 bits
    OffsetPastTheOldFile,     // a copied segment's old offset
    ReferencePastTheOldFile,  // a framed segment's old range reaches one byte past the end
    SizesDoNotAddUp,          // the declared new size one byte larger
    SegmentTooLarge,          // a framed segment makes more than kSegmentMostBytes
    EmptySegment,             // a copied segment of no byte (the declared size kept)
    CopyOfAnotherSize,        // a copied segment's old size one byte short
    FrameDeclaresMore,        // a framed segment one byte smaller than its frame makes
    FrameBeyondBound,         // a framed segment's frame size beyond ZSTD_compressBound
};

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
    // Segmented deltas: how they are decoded.
    ApplyLimits limits = {4, kApplyMemoryBudget};
    // Applied to another old file, it rebuilds other bytes of the file's
    // size without noticing: only their digest tells (the caller's check).
    bool rebuildsAnother = false;
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

// Small segments, so that a file of a few MB has dozens of them.
SegmentedDeltaOptions SmallSegments() {
    SegmentedDeltaOptions options;
    options.level = 3;
    options.sizes = ScaledSegmentSizes(64 << 10);
    options.threads = 2;
    return options;
}

// A segmented delta's map, field by field: magic and length (8 bytes), the
// tag and format (8), new size, old size, count (8 each), then 32 bytes a
// segment.
constexpr std::size_t kNewSizeAt = 16, kCountAt = 32, kSegmentsAt = 40;
enum Field { kNewSize, kOldOffset, kOldSize, kFrameSize };

std::uint64_t Get(const std::string& delta, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t k = 8; k-- > 0;) value = (value << 8) | static_cast<unsigned char>(delta[at + k]);
    return value;
}

void Set(std::string& delta, std::size_t at, std::uint64_t value) {
    for (std::size_t k = 0; k < 8; ++k) delta[at + k] = static_cast<char>((value >> (8 * k)) & 0xFF);
}

// Where field `field` of the first segment with (or without) a frame lies.
std::size_t FirstSegment(const std::string& delta, bool framed, Field field) {
    for (std::uint64_t k = 0; k < Get(delta, kCountAt); ++k) {
        const std::size_t at = kSegmentsAt + 32 * k;
        if ((Get(delta, at + 8 * kFrameSize) != 0) == framed) return at + 8 * field;
    }
    ADD_FAILURE() << "no segment " << (framed ? "with" : "without") << " a frame";
    return kSegmentsAt + 8 * field;
}

void ChangeMap(std::string& delta, Change change, std::uint64_t oldSize) {
    const auto add = [&](std::size_t at, std::int64_t by) { Set(delta, at, Get(delta, at) + by); };
    switch (change) {
        case Change::MapCut:
            delta.resize(20);
            break;
        case Change::MapOfAnotherFormat:
            delta[12] = 2;
            break;
        case Change::MapLengthBeyondAny:
            delta.replace(4, 4, "\xFF\xFF\xFF\xFF");
            break;
        case Change::CountOverflows:
            add(kCountAt, std::int64_t{1} << 59);
            break;
        case Change::OffsetPastTheOldFile: {
            const std::size_t size = FirstSegment(delta, false, kNewSize);
            Set(delta, FirstSegment(delta, false, kOldOffset), oldSize - Get(delta, size) + 1);
            break;
        }
        case Change::ReferencePastTheOldFile: {
            const std::size_t size = FirstSegment(delta, true, kOldSize);
            Set(delta, FirstSegment(delta, true, kOldOffset), oldSize - Get(delta, size) + 1);
            break;
        }
        case Change::SizesDoNotAddUp:
            add(kNewSizeAt, -1);
            break;
        case Change::SegmentTooLarge:
            Set(delta, FirstSegment(delta, true, kNewSize), kSegmentMostBytes + 1);
            break;
        case Change::EmptySegment:
            Set(delta, FirstSegment(delta, false, kNewSize), 0);
            break;
        case Change::CopyOfAnotherSize:
            add(FirstSegment(delta, false, kOldSize), -1);
            break;
        case Change::FrameDeclaresMore:
            add(FirstSegment(delta, true, kNewSize), -1);
            add(kNewSizeAt, -1);
            break;
        case Change::FrameBeyondBound: {
            const std::uint64_t size = Get(delta, FirstSegment(delta, true, kNewSize));
            Set(delta, FirstSegment(delta, true, kFrameSize), ZSTD_compressBound(size) + 1);
            break;
        }
        default:
            break;
    }
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

// The frame of a row, made from the files written for it.
std::string MakeFrame(const CodecCase& c, const fs::path& oldFile, const fs::path& newFile,
                      const std::string& old, const std::string& made, const fs::path& spill) {
    std::string frame;
    switch (c.frame) {
        case Frame::Ours: {
            const FileDigest digest =
                c.form == Form::Object ? CompressObject(newFile, Into(frame), 3)
                : c.form == Form::Delta
                    ? MakeDelta(oldFile, newFile, Into(frame), 3)
                    : *MakeSegmentedDelta(oldFile, newFile, spill, Into(frame), SmallSegments());
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
    return frame;
}

void Damage(std::string& frame, Change change, std::uint64_t oldSize) {
    switch (change) {
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
        default:
            ChangeMap(frame, change, oldSize);
            break;
    }
}

TEST_P(CodecTest, RebuildsTheFileOrRefusesTheFrame) {
    const CodecCase& c = GetParam();
    const fs::path oldFile = folder_ / "old.bin", newFile = folder_ / "new.bin",
                   otherOld = folder_ / "other.bin";
    const std::string old = Make(c.old), made = Make(c.made);
    Write(oldFile, old);
    Write(newFile, made);
    std::string frame = MakeFrame(c, oldFile, newFile, old, made, folder_ / "spill");
    EXPECT_LE(frame.size(), c.atMost * static_cast<double>(made.size()) + 64) << "frame of " << frame.size();
    Damage(frame, c.change, old.size());
    const fs::path frameFile = folder_ / "frame.zst";
    Write(frameFile, frame);
    if (c.appliedTo) Write(otherOld, Make(*c.appliedTo));

    std::ifstream in(frameFile, std::ios::binary);
    std::string output;
    const std::uint64_t most = c.most.value_or(made.size());
    const auto decode = [&] {
        return c.form == Form::Object ? DecompressObject(in, Into(output), most)
                                      : ApplyDelta(*scratch_, c.appliedTo ? "other.bin" : "old.bin", in,
                                                   Into(output), most, c.limits);
    };
    if (c.rebuildsAnother) {
        const FileDigest rebuilt = decode();
        EXPECT_EQ(output.size(), made.size());
        EXPECT_TRUE(output != made) << "the file rebuilt from another old file";
        EXPECT_EQ(rebuilt, DigestOf(output)) << "the digest reported is the output's";
        return;
    }
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
        // A small old file: the limit is its size plus 256 MiB, at most
        // kSingleFrameMostBytes (2^27).
        CodecCase{.name = "declared_window_beyond_the_limit",
                  .form = Form::Delta,
                  .old = kSmall,
                  .made = {Base::Small, Shape::Edited},
                  .frame = Frame::WindowOf28,
                  .refused = kDamaged,
                  .mentions = "window of 268435456 bytes, more than the 134217728 bytes accepted"},
        CodecCase{.name = "declared_window_within_the_limit",
                  .form = Form::Delta,
                  .old = kSmall,
                  .made = {Base::Small, Shape::Edited},
                  .frame = Frame::WindowOf27},
        CodecCase{.name = "larger_than_expected",
                  .form = Form::Delta,
                  .old = kNoise,
                  .made = {Base::Noise, Shape::Edited},
                  .most = 1000,
                  .refused = kDamaged,
                  .mentions = "more than the 1000 bytes expected"}),
    CaseName<CodecCase>);

const Content kMixed{Base::Mixed}, kAllEdits{Base::Mixed, Shape::AllEdits};

INSTANTIATE_TEST_SUITE_P(
    SegmentedDeltas, CodecTest,
    testing::Values(
        // 24 overwrites of 4 KiB of noise: about 100 KiB that no delta can
        // spare, plus the map and the frames' own bytes.
        CodecCase{.name = "overwrites",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = {Base::Mixed, Shape::Overwritten},
                  .atMost = 0.045},
        CodecCase{.name = "inserts",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = {Base::Mixed, Shape::Inserted},
                  .atMost = 0.075},
        CodecCase{.name = "removals",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = {Base::Mixed, Shape::Removed},
                  .atMost = 0.01},
        CodecCase{.name = "a_moved_block",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = {Base::Mixed, Shape::Moved},
                  .atMost = 0.01},
        CodecCase{
            .name = "all_edits", .form = Form::Segmented, .old = kMixed, .made = kAllEdits, .atMost = 0.13},
        // Halves traded places, 12 MiB apart: both are copied.
        CodecCase{.name = "far_moves",
                  .form = Form::Segmented,
                  .old = {Base::BigNoise},
                  .made = {Base::BigNoise, Shape::Swapped},
                  .atMost = 0.001},
        CodecCase{
            .name = "all_the_same", .form = Form::Segmented, .old = kMixed, .made = kMixed, .atMost = 0.0001},
        CodecCase{.name = "all_new",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = {Base::OtherMixed},
                  .atMost = 0.6},
        CodecCase{.name = "edited_text",
                  .form = Form::Segmented,
                  .old = kText,
                  .made = {Base::Text, Shape::Edited},
                  .atMost = 0.05},
        CodecCase{.name = "small_files",
                  .form = Form::Segmented,
                  .old = kSmall,
                  .made = {Base::Small, Shape::Edited}},
        CodecCase{
            .name = "from_an_empty_file", .form = Form::Segmented, .old = {}, .made = kMixed, .atMost = 0.6},
        CodecCase{.name = "to_an_empty_file", .form = Form::Segmented, .old = kMixed, .made = {}},
        CodecCase{.name = "empty_to_empty", .form = Form::Segmented},
        CodecCase{.name = "one_thread",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .limits = {1, kApplyMemoryBudget}},
        CodecCase{.name = "many_threads",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .limits = {16, kApplyMemoryBudget}},
        // No segment fits: each runs alone, one after the other.
        CodecCase{.name = "memory_for_less_than_a_segment",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .limits = {4, 1}},
        CodecCase{.name = "larger_than_expected",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .most = kMixedSize,
                  .refused = kDamaged,
                  .mentions = "more than the 3145728 bytes expected"},
        // The old file the delta is applied to is not the one it was made from.
        CodecCase{.name = "applied_to_an_old_file_of_another_size",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .appliedTo = Content{Base::Mixed, Shape::FirstQuarter},
                  .refused = kDamaged,
                  .mentions = "made from another old file: one of 3145728 bytes, not 786432 bytes"},
        CodecCase{.name = "applied_to_an_old_file_changed_where_a_frame_reads_it",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = {Base::Mixed, Shape::OverwrittenNearAFifth},
                  .appliedTo = Content{Base::Mixed, Shape::OneByteChanged},
                  .refused = kDamaged,
                  .mentions = "made from another old file"},
        CodecCase{.name = "applied_to_an_old_file_changed_where_copied",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = {Base::Mixed, Shape::Moved},
                  .appliedTo = Content{Base::Mixed, Shape::OneByteChanged},
                  .rebuildsAnother = true},
        // Damaged on the way, or made to harm.
        CodecCase{.name = "cut_in_its_map",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::MapCut,
                  .refused = kDamaged,
                  .mentions = "cut short"},
        CodecCase{.name = "cut_in_a_frame",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::CutInHalf,
                  .refused = kDamaged,
                  .mentions = "cut short"},
        CodecCase{.name = "cut_at_its_end",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::CutAtEnd,
                  .refused = kDamaged},
        CodecCase{.name = "byte_flipped",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::FlipByte,
                  .refused = kDamaged},
        CodecCase{.name = "byte_after_the_last_frame",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::ByteAfter,
                  .refused = kDamaged,
                  .mentions = "goes on after its last segment"},
        CodecCase{.name = "map_of_another_format",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::MapOfAnotherFormat,
                  .refused = kDamaged,
                  .mentions = "not one this program reads"},
        CodecCase{.name = "map_longer_than_any",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::MapLengthBeyondAny,
                  .refused = kDamaged,
                  .mentions = "4294967295 bytes long"},
        CodecCase{.name = "count_that_overflows",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::CountOverflows,
                  .refused = kDamaged,
                  .mentions = "segments in"},
        CodecCase{.name = "copy_past_the_old_file",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::OffsetPastTheOldFile,
                  .refused = kDamaged,
                  .mentions = "reaches past the old file's 3145728 bytes"},
        CodecCase{.name = "old_range_past_the_old_file",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::ReferencePastTheOldFile,
                  .refused = kDamaged,
                  .mentions = "reaches past the old file's 3145728 bytes"},
        CodecCase{.name = "sizes_that_do_not_add_up",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::SizesDoNotAddUp,
                  .refused = kDamaged,
                  .mentions = "it declares"},
        CodecCase{.name = "segment_beyond_the_limit",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::SegmentTooLarge,
                  .refused = kDamaged,
                  .mentions = "a segment may make"},
        CodecCase{.name = "empty_segment",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::EmptySegment,
                  .refused = kDamaged,
                  .mentions = "has an empty segment"},
        CodecCase{.name = "copy_of_another_size",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::CopyOfAnotherSize,
                  .refused = kDamaged,
                  .mentions = "copies a range of another size"},
        CodecCase{.name = "frame_that_makes_more_than_its_segment",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::FrameDeclaresMore,
                  .refused = kDamaged,
                  .mentions = "does not declare the"},
        CodecCase{.name = "frame_size_beyond_any_frame",
                  .form = Form::Segmented,
                  .old = kMixed,
                  .made = kAllEdits,
                  .change = Change::FrameBeyondBound,
                  .refused = kDamaged,
                  .mentions = "more than any frame of"}),
    CaseName<CodecCase>);

// How PlanSegments cuts a new file, from chunk lists written by hand: a
// chunk is a letter (its content) and a size.
struct PlanCase {
    const char* name;
    std::vector<std::pair<char, std::uint64_t>> old;
    std::vector<std::pair<char, std::uint64_t>> made;
    std::vector<PlannedSegment> segments;
};

void PrintTo(const PlanCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<Chunk> Chunks(const std::vector<std::pair<char, std::uint64_t>>& letters) {
    std::vector<Chunk> chunks;
    std::uint64_t offset = 0;
    for (const auto& [letter, size] : letters) {
        chunks.push_back({offset, size, Sha256Of(std::string(1, letter))});
        offset += size;
    }
    return chunks;
}

class PlanTest : public testing::TestWithParam<PlanCase> {};

TEST_P(PlanTest, CopiesWhatTheOldFileHasAndStartsTheRestFromWhereItWas) {
    const PlanCase& c = GetParam();
    SegmentSizes sizes;
    sizes.chunks = {10, 100, 400};
    sizes.mostSegment = 1000;
    sizes.mostReference = 3000;
    const std::vector<Chunk> old = Chunks(c.old);
    const std::uint64_t oldSize = old.empty() ? 0 : old.back().offset + old.back().size;
    const std::vector<PlannedSegment> segments = PlanSegments(old, oldSize, Chunks(c.made), sizes);
    ASSERT_EQ(segments.size(), c.segments.size());
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const PlannedSegment &got = segments[k], &want = c.segments[k];
        EXPECT_EQ(got, want) << "segment " << k << ": new " << got.newOffset << "+" << got.newSize << ", old "
                             << got.oldOffset << "+" << got.oldSize << (got.copied ? " copied" : "");
    }
}

// {new offset, new size, old offset, old size, copied}
constexpr bool kCopied = true, kFramed = false;

INSTANTIATE_TEST_SUITE_P(
    Plans, PlanTest,
    testing::Values(
        PlanCase{"the_same_chunks",
                 {{'a', 100}, {'b', 100}, {'c', 100}},
                 {{'a', 100}, {'b', 100}, {'c', 100}},
                 {{0, 300, 0, 300, kCopied}}},
        // Its old range: the chunk it replaced, and the least chunk size on
        // each side.
        PlanCase{"one_changed_chunk",
                 {{'a', 100}, {'b', 100}, {'c', 100}, {'d', 100}},
                 {{'a', 100}, {'X', 100}, {'c', 100}, {'d', 100}},
                 {{0, 100, 0, 100, kCopied}, {100, 100, 90, 120, kFramed}, {200, 200, 200, 200, kCopied}}},
        PlanCase{"an_inserted_chunk",
                 {{'a', 100}, {'b', 100}, {'c', 100}},
                 {{'a', 100}, {'b', 100}, {'Y', 50}, {'c', 100}},
                 {{0, 200, 0, 200, kCopied}, {200, 50, 190, 20, kFramed}, {250, 100, 200, 100, kCopied}}},
        PlanCase{"a_moved_chunk",
                 {{'a', 100}, {'b', 100}, {'c', 100}, {'d', 100}},
                 {{'a', 100}, {'c', 100}, {'b', 100}, {'d', 100}},
                 {{0, 100, 0, 100, kCopied},
                  {100, 100, 200, 100, kCopied},
                  {200, 100, 100, 100, kCopied},
                  {300, 100, 300, 100, kCopied}}},
        // Chunks of the same content: the copy goes on where it was.
        PlanCase{"repeated_chunks",
                 {{'z', 100}, {'z', 100}, {'z', 100}},
                 {{'z', 100}, {'z', 100}, {'z', 100}},
                 {{0, 300, 0, 300, kCopied}}},
        // A copy of less than twice the average chunk between two changes
        // joins them.
        PlanCase{"a_short_copy_between_changes",
                 {{'a', 100}, {'b', 100}, {'c', 100}, {'d', 100}, {'e', 100}},
                 {{'a', 100}, {'X', 100}, {'c', 100}, {'Y', 100}, {'e', 100}},
                 {{0, 100, 0, 100, kCopied}, {100, 300, 90, 320, kFramed}, {400, 100, 400, 100, kCopied}}},
        // Cut in three, each from its share of the old bytes it replaced,
        // widened by half its size.
        PlanCase{"a_long_change",
                 {{'a', 100}, {'b', 2500}, {'c', 100}},
                 {{'a', 100}, {'X', 1200}, {'Y', 1300}, {'c', 100}},
                 {{0, 100, 0, 100, kCopied},
                  {100, 834, 0, 1351, kFramed},
                  {934, 833, 518, 1665, kFramed},
                  {1767, 833, 1351, 1349, kFramed},
                  {2600, 100, 2600, 100, kCopied}}},
        // 5000 bytes removed around a changed chunk: its first half goes on
        // from the copy before it, its second half leads to the copy after.
        PlanCase{"a_change_where_much_was_removed",
                 {{'a', 100}, {'b', 5000}, {'d', 100}},
                 {{'a', 100}, {'X', 100}, {'d', 100}},
                 {{0, 100, 0, 100, kCopied},
                  {100, 50, 90, 70, kFramed},
                  {150, 50, 5040, 70, kFramed},
                  {200, 100, 5100, 100, kCopied}}},
        // Moved to the front: the changed start leads to where the copy
        // after it starts.
        PlanCase{
            "a_change_before_a_moved_copy",
            {{'a', 3000}, {'b', 100}},
            {{'X', 100}, {'b', 100}, {'a', 3000}},
            {{0, 100, 2890, 120, kFramed}, {100, 100, 3000, 100, kCopied}, {200, 3000, 0, 3000, kCopied}}},
        // Nothing in common: the new file from the old one, place for place
        // (each half from the middle of the old file's half), within the
        // largest old range.
        PlanCase{"all_new",
                 {{'a', 4000}, {'b', 4000}},
                 {{'X', 900}, {'Y', 900}},
                 {{0, 900, 500, 3000, kFramed}, {900, 900, 4500, 3000, kFramed}}},
        PlanCase{"from_an_empty_file", {}, {{'X', 100}}, {{0, 100, 0, 0, kFramed}}},
        PlanCase{"to_an_empty_file", {{'a', 100}}, {}, {}}),
    CaseName<PlanCase>);

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

    EXPECT_EQ(
        kind([&] { MakeSegmentedDelta(missing, small, folder_ / "spill", Into(out), SmallSegments()); }),
        CodecError::Kind::Unreadable);
    EXPECT_EQ(
        kind([&] { MakeSegmentedDelta(small, folder_, folder_ / "spill", Into(out), SmallSegments()); }),
        CodecError::Kind::Unreadable);

    EXPECT_THROW(CompressObject(small, Into(out), 0), std::invalid_argument);
    SegmentedDeltaOptions tooLarge = SmallSegments();
    tooLarge.sizes.mostSegment = kSegmentMostBytes + 1;
    EXPECT_THROW(MakeSegmentedDelta(small, small, folder_ / "spill", Into(out), tooLarge),
                 std::invalid_argument);
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

// A segmented delta stops at the first piece its sink refuses (a full disk)
// or that the run cancels, wherever it is: the worker threads still
// decoding end first, and what the sink threw comes out as it was thrown.
TEST_F(Scratch, ASegmentedDeltaStopsWhereItsSinkStopsIt) {
    const fs::path oldFile = folder_ / "old.bin", newFile = folder_ / "new.bin";
    Write(oldFile, Make(kMixed));
    Write(newFile, Make(kAllEdits));
    const ByteSink refuse = [](const char*, std::size_t) { return false; };
    try {
        MakeSegmentedDelta(oldFile, newFile, folder_ / "spill", refuse, SmallSegments());
        ADD_FAILURE() << "made a delta into a sink that refuses";
    } catch (const CodecError& error) {
        EXPECT_EQ(error.kind(), CodecError::Kind::Unwritable) << error.what();
    }
    EXPECT_FALSE(fs::exists(folder_ / "spill"));
    std::string delta;
    MakeSegmentedDelta(oldFile, newFile, folder_ / "spill", Into(delta), SmallSegments());

    // Memory for all segments, or for one at a time: then the decoders wait
    // for the writer, which stops first.
    enum class Stop { Refuse, Cancel };
    for (const ApplyLimits limits : {ApplyLimits{8, kApplyMemoryBudget}, ApplyLimits{2, 1}}) {
        for (const Stop stop : {Stop::Refuse, Stop::Cancel}) {
            for (const std::uint64_t after : {std::uint64_t{0}, std::uint64_t{1} << 20, kMixedSize - 1}) {
                std::uint64_t received = 0;
                const ByteSink sink = [&](const char*, std::size_t size) {
                    if (received + size > after && stop == Stop::Cancel) throw RunCancelled();
                    if (received + size > after) return false;
                    received += size;
                    return true;
                };
                std::istringstream in(delta);
                const std::string what = (stop == Stop::Cancel ? "cancelled after " : "refused after ") +
                                         std::to_string(after) + " bytes, " + std::to_string(limits.memory) +
                                         " bytes of memory";
                try {
                    ApplyDelta(oldFile, in, sink, UINT64_MAX, limits);
                    ADD_FAILURE() << what << ": decoded";
                } catch (const RunCancelled&) {
                    EXPECT_EQ(stop, Stop::Cancel) << what;
                } catch (const CodecError& error) {
                    EXPECT_EQ(stop, Stop::Refuse) << what;
                    EXPECT_EQ(error.kind(), CodecError::Kind::Unwritable) << what << ": " << error.what();
                }
                EXPECT_LE(received, after) << what;
            }
        }
    }
}

// Offsets beyond 32 bits: an old file of 5 GiB (sparse, but for its last
// bytes), a segment copied from its end and one decoded from a range beyond
// 4 GiB; a map made here, with a frame of libzstd's (its size declared, as
// every segment's frame must).
TEST_F(Scratch, ASegmentedDeltaReachesPastFourGiB) {
    const fs::path oldFile = folder_ / "old.bin";
    const std::uint64_t tail = std::uint64_t{5} << 30;
    const std::string last = "Kestralon, 5 GiB into the file";
    std::ofstream(oldFile, std::ios::binary).close();
    fs::resize_file(oldFile, tail);
    std::ofstream(oldFile, std::ios::binary | std::ios::in | std::ios::out)
        .seekp(static_cast<std::streamoff>(tail))
        .write(last.data(), static_cast<std::streamsize>(last.size()));
    const std::uint64_t oldSize = tail + last.size();
    ASSERT_EQ(fs::file_size(oldFile), oldSize);

    const std::string made = last + " and " + last;
    const std::string reference = std::string(64, '\0') + last;  // from tail - 64 to the end
    const std::string rest = made.substr(last.size());
    std::string frame(ZSTD_compressBound(rest.size()), '\0');
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_refPrefix(context, reference.data(), reference.size());
    frame.resize(ZSTD_compress2(context, frame.data(), frame.size(), rest.data(), rest.size()));
    ZSTD_freeCCtx(context);
    const SegmentMap map{made.size(),
                         oldSize,
                         {{last.size(), tail, last.size(), 0},
                          {made.size() - last.size(), tail - 64, reference.size(), frame.size()}}};
    std::istringstream in(FormatSegmentMap(map) + frame);
    std::string output;
    EXPECT_EQ(ApplyDelta(oldFile, in, Into(output), made.size()), DigestOf(made));
    EXPECT_EQ(output, made);
}

// An updater that knows single frames only reads a delta as DecompressObject
// reads an object (the same decoding, the old file as prefix): a segmented
// delta is no zstd frame to it, refused at its first bytes as damaged, and
// it fetches the compressed object instead.
TEST_F(Scratch, ASegmentedDeltaIsNoFrameToAnUpdaterWithoutSegments) {
    const fs::path oldFile = folder_ / "old.bin", newFile = folder_ / "new.bin";
    Write(oldFile, Make(kMixed));
    Write(newFile, Make(kAllEdits));
    std::string delta;
    MakeSegmentedDelta(oldFile, newFile, folder_ / "spill", Into(delta), SmallSegments());
    std::istringstream in(delta);
    std::string output;
    try {
        DecompressObject(in, Into(output), kMixedSize * 2);
        ADD_FAILURE() << "decoded " << output.size() << " bytes";
    } catch (const CodecError& error) {
        EXPECT_EQ(error.kind(), CodecError::Kind::Damaged);
        EXPECT_NE(std::string(error.what()).find("not a zstd frame"), std::string::npos) << error.what();
    }
    EXPECT_EQ(output, "");
}

// What a rebuild may hold, from the sizes known before it starts, as the
// queue of rebuilds counts it against its limit.
TEST(RebuildMemory, IsTheWindowAndWhatADeltaReadsWithinTheBudget) {
    constexpr std::uint64_t kMiB = 1 << 20, kBudget = 192 * kMiB, kContext = kMiB;
    const auto object = [](std::uint64_t size) {
        FileWay way;
        way.kind = FileWay::Kind::Object;
        way.object.size = size;
        return way;
    };
    const auto deltas = [](std::vector<std::uint64_t> sizes) {
        FileWay way;
        way.kind = FileWay::Kind::Deltas;
        for (const std::uint64_t size : sizes) way.deltas.push_back({{}, {}, {size, {}}});
        return way;
    };
    struct Row {
        const char* what;
        FileWay way;
        std::uint64_t size, installed, budget, holds;
    };
    const Row rows[] = {
        {"the whole file: nothing to rebuild", FileWay{}, 50 * kMiB, 10 * kMiB, kBudget, 0},
        {"an object: its window, the file's size", object(kMiB), 3 * kMiB, 0, kBudget, 3 * kMiB + kContext},
        {"an object's window stops at 128 MiB", object(kMiB), 150 * kMiB, 0, 500 * kMiB, 129 * kMiB},
        {"a delta: old file twice, new file and delta", deltas({kMiB}), 10 * kMiB, 9 * kMiB, kBudget,
         30 * kMiB},
        {"a delta of a big file needs the whole budget", deltas({kMiB}), 2048 * kMiB, 2048 * kMiB, kBudget,
         kBudget},
        {"a chain: its versions between have no signed size", deltas({kMiB, kMiB}), kMiB, kMiB, kBudget,
         kBudget},
        {"an object beyond a small budget", object(kMiB), 50 * kMiB, 0, 20 * kMiB, 20 * kMiB},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(RebuildMemory(row.way, FileDigest{row.size, {}}, row.installed, row.budget), row.holds)
            << row.what;
    }
}

// A file handed to the queue of rebuilds: its installed copy, its new
// version, and how its way fetched it.
struct Handed {
    std::string entry, old, made;
    bool delta = false, damaged = false;
};

// What each file's way fetched, written beside it, as the run hands it over.
std::vector<PatchedFile> WriteWays(const fs::path& folder, const std::vector<Handed>& handed) {
    std::vector<PatchedFile> files;
    for (const Handed& h : handed) {
        Write(folder / "new.bin", h.made);
        std::string frame;
        h.delta ? MakeDelta(folder / h.entry, folder / "new.bin", Into(frame), 3)
                : CompressObject(folder / "new.bin", Into(frame), 3);
        if (h.damaged) frame[frame.size() / 2] ^= 1;
        Write(folder / (h.entry + ".fetched"), frame);
        FileWay way;
        way.kind = h.delta ? FileWay::Kind::Deltas : FileWay::Kind::Object;
        if (h.delta) way.deltas.push_back({DigestOf(h.old).sha256, DigestOf(h.made).sha256, DigestOf(frame)});
        files.push_back({0,
                         h.entry,
                         DigestOf(h.made),
                         {way},
                         {},
                         {h.entry + ".fetched"},
                         {h.entry + ".made"},
                         {},
                         false});
    }
    return files;
}

// Files handed to the queue of rebuilds come back rebuilt from what their
// way fetched, or refused when it is damaged, whatever the order the
// workers end in and however little memory they share; a queue stopped with
// rebuilds under way returns only those that ended, and leaves no copy of
// the others.
TEST_F(Scratch, TheQueueOfRebuildsReturnsEveryFileItWasGiven) {
    std::vector<Handed> given;
    for (unsigned k = 0; k < 6; ++k) {
        const std::string old = Make(kText) + std::to_string(k);
        given.push_back({"file" + std::to_string(k) + ".dat", old, Edited(old, k), k % 2 == 1, k >= 4});
        Write(folder_ / given.back().entry, old);
    }
    for (const bool stopped : {false, true}) {
        // Written again for each queue: a delta applied is gone.
        const std::vector<PatchedFile> files = WriteWays(folder_, given);
        RebuildQueue queue(*scratch_, {2, 3 << 20});
        for (std::size_t k = 0; k < files.size(); ++k) queue.Add(k, files[k]);
        if (stopped) queue.Stop();
        std::map<std::size_t, RebuildQueue::Outcome> ended;
        while (queue.Unfinished() > 0) {
            queue.Wait(std::chrono::milliseconds(100));
            for (RebuildQueue::Outcome& outcome : queue.Take()) ended[outcome.key] = std::move(outcome);
        }
        for (std::size_t k = 0; k < files.size(); ++k) {
            const fs::path made = folder_ / (given[k].entry + ".made");
            const auto found = ended.find(k);
            if (found == ended.end()) {
                EXPECT_TRUE(stopped) << k;
                EXPECT_FALSE(fs::exists(made)) << k;
                continue;
            }
            EXPECT_FALSE(found->second.error) << k;
            EXPECT_EQ(found->second.rebuilt == Rebuilt::Done, !given[k].damaged) << k;
            if (found->second.rebuilt == Rebuilt::Done) {
                EXPECT_EQ(found->second.result, given[k].entry + ".made");
                std::ifstream in(made, std::ios::binary);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), given[k].made) << k;
            }
            fs::remove(made);
        }
    }
}

}  // namespace
