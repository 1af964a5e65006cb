#include "code_signing/elf_image_builder.h"

#include <elf.h>

#include <cstddef>
#include <cstring>

namespace smcd::test {
namespace {

void put(std::vector<std::byte>& bytes, std::uint64_t offset, std::uint64_t value, std::size_t width) {
    if (bytes.size() < offset + width) bytes.resize(offset + width);
    patchLittleEndian(bytes, offset, value, width);
}

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// `text` at the end of `out`, padded with zeros to a multiple of `padTo`.
void appendPadded(std::vector<std::byte>& out, const std::string& text, std::uint64_t padTo) {
    for (const char c : text) out.push_back(static_cast<std::byte>(c));
    out.resize(alignUp(out.size(), padTo));
}

std::vector<std::byte> encodeNotes(const std::vector<ElfNote>& notes, std::uint64_t alignment) {
    const std::uint64_t padTo = alignment == 8 ? 8 : 4;
    std::vector<std::byte> out;
    for (const auto& note : notes) {
        const std::uint64_t start = out.size();
        put(out, start, note.owner.size() + 1, 4);
        put(out, start + 4, note.descriptor.size(), 4);
        put(out, start + 8, note.type, 4);
        appendPadded(out, note.owner + '\0', padTo);
        appendPadded(out, note.descriptor, padTo);
    }
    return out;
}

template <typename Ehdr, typename Phdr>
ElfImage build(unsigned char elfClass, std::size_t addressWidth, const std::vector<ElfSegment>& segments) {
    ElfImage image;
    auto& bytes = image.bytes;
    bytes.resize(sizeof(Ehdr));
    std::memcpy(bytes.data(), ELFMAG, SELFMAG);
    bytes[EI_CLASS] = std::byte{elfClass};
    bytes[EI_DATA] = std::byte{ELFDATA2LSB};
    bytes[EI_VERSION] = std::byte{EV_CURRENT};
    put(bytes, offsetof(Ehdr, e_type), ET_DYN, 2);
    put(bytes, offsetof(Ehdr, e_machine), EM_X86_64, 2);
    put(bytes, offsetof(Ehdr, e_version), EV_CURRENT, 4);
    put(bytes, offsetof(Ehdr, e_phoff), sizeof(Ehdr), addressWidth);
    put(bytes, offsetof(Ehdr, e_ehsize), sizeof(Ehdr), 2);
    put(bytes, offsetof(Ehdr, e_phentsize), sizeof(Phdr), 2);
    put(bytes, offsetof(Ehdr, e_phnum), segments.size(), 2);

    std::uint64_t payloadOffset = alignUp(sizeof(Ehdr) + segments.size() * sizeof(Phdr), 8);
    bytes.resize(payloadOffset);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const auto payload = encodeNotes(segments[i].notes, segments[i].alignment);
        const std::uint64_t entry = sizeof(Ehdr) + i * sizeof(Phdr);
        put(bytes, entry + offsetof(Phdr, p_type), segments[i].type, 4);
        put(bytes, entry + offsetof(Phdr, p_offset), payloadOffset, addressWidth);
        put(bytes, entry + offsetof(Phdr, p_filesz), payload.size(), addressWidth);
        put(bytes, entry + offsetof(Phdr, p_memsz), payload.size(), addressWidth);
        put(bytes, entry + offsetof(Phdr, p_align), segments[i].alignment, addressWidth);
        image.segmentOffsets.push_back(payloadOffset);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        payloadOffset = alignUp(bytes.size(), 8);
        bytes.resize(payloadOffset);
    }
    return image;
}

}  // namespace

void patchLittleEndian(std::vector<std::byte>& bytes, std::uint64_t offset, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes.at(offset + i) = std::byte{static_cast<unsigned char>(value >> (8 * i))};
}

ElfImage buildElfImage(ElfWidth width, const std::vector<ElfSegment>& segments) {
    if (width == ElfWidth::bits64) return build<Elf64_Ehdr, Elf64_Phdr>(ELFCLASS64, 8, segments);
    return build<Elf32_Ehdr, Elf32_Phdr>(ELFCLASS32, 4, segments);
}

}  // namespace smcd::test
