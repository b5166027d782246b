// Prints a Windows version record (a raw VS_VERSIONINFO resource) as text, one fact a line, so that
// a test can compare it with what the program must carry. Exits non-zero on a malformed record.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <QString>

namespace {

struct Block {
    std::u16string key;
    bool text = false;
    std::vector<std::uint8_t> value;
    std::vector<Block> children;
};

std::uint16_t word(const std::vector<std::uint8_t> &bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::uint32_t dword(const std::vector<std::uint8_t> &bytes, std::size_t at)
{
    return word(bytes, at) | static_cast<std::uint32_t>(word(bytes, at + 2)) << 16;
}

std::size_t alignToDword(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// Every block is wLength, wValueLength, wType, a NUL-terminated UTF-16 key, then the value and
// the children, each starting on a 32-bit boundary; a text value's length counts UTF-16 units.
std::optional<Block> parseBlock(const std::vector<std::uint8_t> &bytes, std::size_t start,
                                std::size_t limit)
{
    if (start + 6 > limit)
        return std::nullopt;
    const std::size_t length = word(bytes, start);
    const std::size_t valueLength = word(bytes, start + 2);
    const std::uint16_t type = word(bytes, start + 4);
    const std::size_t end = start + length;
    if (length < 6 || end > limit || type > 1)
        return std::nullopt;

    Block block;
    block.text = type == 1;
    std::size_t at = start + 6;
    for (;; at += 2) {
        if (at + 2 > end)
            return std::nullopt;
        const char16_t unit = word(bytes, at);
        if (unit == 0)
            break;
        block.key.push_back(unit);
    }
    at = alignToDword(at + 2);
    const std::size_t valueBytes = block.text ? valueLength * 2 : valueLength;
    if (at + valueBytes > end)
        return std::nullopt;
    block.value.assign(bytes.begin() + at, bytes.begin() + at + valueBytes);
    at = alignToDword(at + valueBytes);
    while (at < end) {
        std::optional<Block> child = parseBlock(bytes, at, end);
        if (!child)
            return std::nullopt;
        at = alignToDword(at + word(bytes, at));
        block.children.push_back(std::move(*child));
    }
    return block;
}

std::string toUtf8(const std::u16string &text)
{
    return QString::fromStdU16String(text).toStdString();
}

// A text value up to its terminating NUL.
std::string textValue(const Block &block)
{
    std::u16string text;
    for (std::size_t at = 0; at + 1 < block.value.size(); at += 2) {
        const char16_t unit = word(block.value, at);
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return toUtf8(text);
}

std::string versionQuad(std::uint32_t high, std::uint32_t low)
{
    return std::to_string(high >> 16) + ',' + std::to_string(high & 0xFFFF) + ',' +
        std::to_string(low >> 16) + ',' + std::to_string(low & 0xFFFF);
}

bool printFixedInfo(const Block &root)
{
    if (root.value.size() != 52 || dword(root.value, 0) != 0xFEEF04BD) {
        std::fprintf(stderr, "no VS_FIXEDFILEINFO in the record\n");
        return false;
    }
    std::printf("FILEVERSION %s\n",
                versionQuad(dword(root.value, 8), dword(root.value, 12)).c_str());
    std::printf("PRODUCTVERSION %s\n",
                versionQuad(dword(root.value, 16), dword(root.value, 20)).c_str());
    std::printf("FILEOS 0x%X\n", static_cast<unsigned>(dword(root.value, 32)));
    std::printf("FILETYPE 0x%X\n", static_cast<unsigned>(dword(root.value, 36)));
    return true;
}

void printTranslations(const Block &var)
{
    std::printf("VarFileInfo %s =", toUtf8(var.key).c_str());
    for (std::size_t at = 0; at + 4 <= var.value.size(); at += 4)
        std::printf(" 0x%04X %u", word(var.value, at),
                    static_cast<unsigned>(word(var.value, at + 2)));
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s VERSION-RESOURCE\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};

    const std::optional<Block> root = parseBlock(bytes, 0, bytes.size());
    if (!root || toUtf8(root->key) != "VS_VERSION_INFO") {
        std::fprintf(stderr, "%s is not a version record\n", argv[1]);
        return 1;
    }
    if (!printFixedInfo(*root))
        return 1;
    for (const Block &section : root->children) {
        const std::string name = toUtf8(section.key);
        for (const Block &entry : section.children) {
            if (name == "StringFileInfo") {
                for (const Block &value : entry.children)
                    std::printf("StringFileInfo %s %s = %s\n", toUtf8(entry.key).c_str(),
                                toUtf8(value.key).c_str(), textValue(value).c_str());
            } else if (name == "VarFileInfo") {
                printTranslations(entry);
            } else {
                std::printf("unknown section %s\n", name.c_str());
            }
        }
    }
    return 0;
}
