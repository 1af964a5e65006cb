#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace smcd::test {

// Small synthetic ELF images for the identity reader: an ELF header, a
// program header table and the payload of each segment, laid out one after
// another. Tests then bend individual fields to build the broken images an
// attacker could hand the daemon.
struct ElfNote {
    std::string owner;  // stored with a terminating NUL
    std::uint32_t type = 0;
    std::string descriptor;
};

struct ElfSegment {
    std::uint32_t type = 0;
    std::uint64_t alignment = 4;
    std::vector<ElfNote> notes;  // payload of a note segment
};

struct ElfImage {
    std::vector<std::byte> bytes;
    std::vector<std::uint64_t> segmentOffsets;  // of each payload in the file
};

enum class ElfWidth { bits64, bits32 };

ElfImage buildElfImage(ElfWidth width, const std::vector<ElfSegment>& segments);

void patchLittleEndian(std::vector<std::byte>& bytes, std::uint64_t offset, std::uint64_t value, std::size_t width);

}  // namespace smcd::test
