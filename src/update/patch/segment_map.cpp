#include "update/patch/segment_map.h"

#include <zstd.h>

#include "update/patch/zstd_frame.h"

namespace {

constexpr char kTag[] = {'K', 'S', 'E', 'G'};
constexpr std::uint32_t kFormat = 1;
constexpr std::size_t kHeadBytes = 4 + 4 + 8 + 8 + 8;
constexpr std::size_t kSegmentBytes = 4 * 8;

void PutLittle(std::string& out, std::uint64_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>((value >> (8 * k)) & 0xFF));
}

std::uint64_t GetLittle(std::string_view bytes, std::size_t at, std::size_t count) {
    return LittleEndian(reinterpret_cast<const unsigned char*>(bytes.data()) + at, count);
}

CodecError Damaged(const std::string& why) {
    return CodecError(CodecError::Kind::Damaged, "The delta's segment map " + why + ".");
}

// True when [offset, offset + size) lies inside a file of fileSize bytes.
bool Inside(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

void CheckSegment(const Segment& segment, std::size_t index, std::uint64_t oldSize) {
    const std::string which = "segment " + std::to_string(index + 1);
    if (segment.newSize == 0) throw Damaged("has an empty " + which);
    if (!Inside(segment.oldOffset, segment.oldSize, oldSize)) {
        throw Damaged("reaches past the old file's " + Bytes(oldSize) + " in " + which);
    }
    if (segment.Copied()) {
        if (segment.oldSize != segment.newSize) throw Damaged("copies a range of another size in " + which);
        return;
    }
    if (segment.newSize > kSegmentMostBytes) {
        throw Damaged("makes " + Bytes(segment.newSize) + " in " + which + ", more than the " +
                      Bytes(kSegmentMostBytes) + " a segment may make");
    }
    if (segment.oldSize > kReferenceMostBytes) {
        throw Damaged("starts " + which + " from " + Bytes(segment.oldSize) +
                      " of the old file, more than the " + Bytes(kReferenceMostBytes) + " accepted");
    }
    if (segment.frameSize > ZSTD_compressBound(segment.newSize)) {
        throw Damaged("gives " + which + " a frame of " + Bytes(segment.frameSize) +
                      ", more than any frame of " + Bytes(segment.newSize) + " needs");
    }
}

}  // namespace

std::string FormatSegmentMap(const SegmentMap& map) {
    std::string content(kTag, sizeof kTag);
    PutLittle(content, kFormat, 4);
    PutLittle(content, map.newSize, 8);
    PutLittle(content, map.oldSize, 8);
    PutLittle(content, map.segments.size(), 8);
    for (const Segment& segment : map.segments) {
        for (const std::uint64_t field :
             {segment.newSize, segment.oldOffset, segment.oldSize, segment.frameSize})
            PutLittle(content, field, 8);
    }
    std::string frame;
    PutLittle(frame, kSegmentMapMagic, 4);
    PutLittle(frame, content.size(), 4);
    return frame + content;
}

SegmentMap ParseSegmentMap(std::string_view content, std::uint64_t oldSize, std::uint64_t most) {
    if (content.size() < kHeadBytes) throw Damaged("is cut short");
    if (content.substr(0, 4) != std::string_view(kTag, sizeof kTag) || GetLittle(content, 4, 4) != kFormat) {
        throw Damaged("is not one this program reads");
    }
    SegmentMap map;
    map.newSize = GetLittle(content, 8, 8);
    map.oldSize = GetLittle(content, 16, 8);
    const std::uint64_t count = GetLittle(content, 24, 8);
    if (count > kMostSegments || content.size() != kHeadBytes + count * kSegmentBytes) {
        throw Damaged("declares " + std::to_string(count) + " segments in " + Bytes(content.size()));
    }
    if (map.oldSize != oldSize) {
        throw CodecError(CodecError::Kind::Damaged, "The delta was made from another old file: one of " +
                                                        Bytes(map.oldSize) + ", not " + Bytes(oldSize) + ".");
    }
    if (map.newSize > most) {
        throw Damaged("declares " + Bytes(map.newSize) + ", more than the " + Bytes(most) + " expected");
    }
    map.segments.reserve(count);
    std::uint64_t made = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t at = kHeadBytes + k * kSegmentBytes;
        const Segment segment{GetLittle(content, at, 8), GetLittle(content, at + 8, 8),
                              GetLittle(content, at + 16, 8), GetLittle(content, at + 24, 8)};
        CheckSegment(segment, k, oldSize);
        if (segment.newSize > map.newSize - made) {
            throw Damaged("has segments that make more than the " + Bytes(map.newSize) + " it declares");
        }
        made += segment.newSize;
        map.segments.push_back(segment);
    }
    if (made != map.newSize) {
        throw Damaged("has segments that make " + Bytes(made) + ", not the " + Bytes(map.newSize) +
                      " it declares");
    }
    return map;
}

SegmentMap ReadSegmentMap(std::istream& in, std::uint64_t oldSize, std::uint64_t most) {
    char length[4];
    in.read(length, sizeof length);
    if (in.bad()) throw CodecError(CodecError::Kind::Unreadable, "The delta could not be read.");
    if (in.gcount() != sizeof length) throw Damaged("is cut short");
    const std::uint64_t size = GetLittle(std::string_view(length, sizeof length), 0, 4);
    if (size > kHeadBytes + kMostSegments * kSegmentBytes) {
        throw Damaged("is " + Bytes(size) + " long, longer than any map this program accepts");
    }
    std::string content(static_cast<std::size_t>(size), '\0');
    in.read(content.data(), static_cast<std::streamsize>(size));
    if (in.bad()) throw CodecError(CodecError::Kind::Unreadable, "The delta could not be read.");
    if (static_cast<std::uint64_t>(in.gcount()) != size) throw Damaged("is cut short");
    return ParseSegmentMap(content, oldSize, most);
}
