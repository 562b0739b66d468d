// Build-time helper for the resource set:
//   resgen image OUT START LENGTH SEED   writes a placeholder firmware image
//   resgen embed IN OUT.cpp SYMBOL [--image]
//                                        writes IN's bytes as a C++ array; --image first checks
//                                        the firmware layout (length field + 8 == file size)
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "resgen: error: %s\n", message.c_str());
    return 1;
}

bool ParseU32(const char* text, std::uint32_t& value) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != 0 || v > 0xFFFFFFFFull) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t GetU32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Writes through a temporary name so that a failed run never leaves a half file that make
// would take as up to date.
bool WriteFile(const std::string& path, const void* data, std::size_t size) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!f) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

int MakeImage(const std::string& out, std::uint32_t start, std::uint32_t length,
              std::uint32_t seed) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(length + 8);
    PutU32(bytes, start);
    PutU32(bytes, length);
    // The frame's lead byte next to each byte that follows it on the line, so every block-0
    // transfer exercises the stuffing; then a fixed xorshift sequence.
    static const std::uint8_t kLead[] = {0x11, 0x12, 0x11, 0x13, 0x11, 0x14, 0x11, 0x11};
    std::uint32_t state = seed != 0 ? seed : 0x9E3779B9u;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (i < sizeof kLead) {
            bytes.push_back(kLead[i]);
            continue;
        }
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    if (!WriteFile(out, bytes.data(), bytes.size())) return Fail("cannot write " + out);
    return 0;
}

int Embed(const std::string& in, const std::string& out, const std::string& symbol, bool image) {
    std::ifstream f(in, std::ios::binary);
    if (!f) return Fail("cannot read " + in);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                          std::istreambuf_iterator<char>());
    if (image) {
        if (bytes.size() < 8) {
            return Fail(in + ": not a firmware image: " + std::to_string(bytes.size()) +
                        " bytes, shorter than its 8-byte header");
        }
        const std::uint64_t length = GetU32(bytes.data() + 4);
        if (length == 0)
            return Fail(in + ": an empty firmware image (its length field is 0): nothing to send");
        if (length + 8 != bytes.size()) {
            return Fail(in + ": not a firmware image: its length field says " +
                        std::to_string(length) + " bytes, so the file should be " +
                        std::to_string(length + 8) + " bytes, but it is " +
                        std::to_string(bytes.size()));
        }
    }
    std::string text;
    text.reserve(bytes.size() * 5 + 512);
    text += "// Generated at build time from " + in + "; do not edit.\n";
    text += "#include <cstddef>\n\nnamespace vantra_res {\n\n";
    // An empty file still needs one element: C++ has no zero-length arrays.
    text += "alignas(4) extern const unsigned char " + symbol + "[] = {";
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += (i % 16 == 0) ? "\n    " : " ";
        text += "0x";
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
        text += ',';
    }
    if (bytes.empty()) text += "0";
    text += "\n};\nextern const std::size_t " + symbol + "Size = " + std::to_string(bytes.size()) +
            ";\n\n";
    text += "}  // namespace vantra_res\n";
    if (!WriteFile(out, text.data(), text.size())) return Fail("cannot write " + out);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "image" && argc == 6) {
        std::uint32_t start, length, seed;
        if (!ParseU32(argv[3], start) || !ParseU32(argv[4], length) || !ParseU32(argv[5], seed)) {
            return Fail("image: START, LENGTH and SEED must be 32-bit unsigned numbers");
        }
        return MakeImage(argv[2], start, length, seed);
    }
    if (mode == "embed" && (argc == 5 || (argc == 6 && std::strcmp(argv[5], "--image") == 0))) {
        return Embed(argv[2], argv[3], argv[4], argc == 6);
    }
    std::fprintf(stderr,
                 "usage: resgen image OUT START LENGTH SEED\n"
                 "       resgen embed IN OUT.cpp SYMBOL [--image]\n");
    return 2;
}
