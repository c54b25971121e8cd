// Runs the settings-file cases against a folder and describes what they did,
// for both sides of the comparison (Windows and Linux). The side supplies
// how one value is written and read; everything else is shared.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "profile_cases.h"

namespace profile_cases {

struct Backend {
    // Both take and give raw ANSI bytes; `file` is the settings file's path.
    std::function<void(const std::filesystem::path& file, const Step& step)> write;
    std::function<std::string(const std::filesystem::path& file, const Step& step)> read;
};

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The case's outcome: the file's final bytes (or that there is none), then
// every value read, in order: "file:<bytes>|read:<value>|...".
inline std::string Outcome(const Case& c, const std::filesystem::path& work, const Backend& backend) {
    namespace fs = std::filesystem;
    const fs::path folder = work / std::string(c.name) / "Config";
    fs::remove_all(folder.parent_path());
    if (c.start != Start::NoFolder) fs::create_directories(folder);
    const fs::path file = folder / "Client.ini";
    if (c.start == Start::Content) {
        std::ofstream out(file, std::ios::binary);
        out.write(c.initial.data(), static_cast<std::streamsize>(c.initial.size()));
    }
    std::string reads;
    for (const Step& step : c.steps) {
        if (step.kind == Step::Write) {
            backend.write(file, step);
        } else {
            reads += "read:" + backend.read(file, step) + "|";
        }
    }
    const std::string state = fs::exists(file) ? "file:" + ReadBytes(file) + "|" : "file-absent|";
    return state + reads;
}

inline std::string Hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

inline std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace profile_cases
