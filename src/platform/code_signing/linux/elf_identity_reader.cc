#include "platform/code_signing/linux/elf_identity_reader.h"

#include <elf.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/code_signing/linux/code_identity_note.h"

namespace smcd::platform {
namespace {

// Field decoding by hand, byte by byte, so that the host's byte order and the
// buffer's alignment never matter.
template <typename T>
T littleEndianAt(std::span<const std::byte> bytes, std::size_t offset) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(std::to_integer<std::uint8_t>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

// The layout facts the reader needs from one ELF class, taken from <elf.h>.
template <typename Ehdr, typename Phdr, typename Address>
struct ElfClass {
    using Header = Ehdr;
    using ProgramHeader = Phdr;

    static std::uint64_t programHeaderOffset(std::span<const std::byte> h) {
        return littleEndianAt<Address>(h, offsetof(Ehdr, e_phoff));
    }
    static std::uint64_t segmentOffset(std::span<const std::byte> p) {
        return littleEndianAt<Address>(p, offsetof(Phdr, p_offset));
    }
    static std::uint64_t segmentFileSize(std::span<const std::byte> p) {
        return littleEndianAt<Address>(p, offsetof(Phdr, p_filesz));
    }
    static std::uint64_t segmentAlignment(std::span<const std::byte> p) {
        return littleEndianAt<Address>(p, offsetof(Phdr, p_align));
    }
};

using Elf64 = ElfClass<Elf64_Ehdr, Elf64_Phdr, std::uint64_t>;
using Elf32 = ElfClass<Elf32_Ehdr, Elf32_Phdr, std::uint32_t>;

// Running state over every note of every PT_NOTE segment.
struct NoteSearch {
    std::optional<CodeIdentity> identity;
    std::optional<IdentityReadFailure> failure;
    std::uint64_t bytesRead = 0;
};

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

bool isIdentityNoteOwner(std::span<const std::byte> name) {
    // The owner name is stored with its terminating NUL.
    if (name.size() != kCodeIdentityNoteOwner.size() + 1) return false;
    if (std::to_integer<char>(name.back()) != '\0') return false;
    return std::memcmp(name.data(), kCodeIdentityNoteOwner.data(), kCodeIdentityNoteOwner.size()) == 0;
}

void scanNotes(std::span<const std::byte> segment, std::uint64_t alignment, NoteSearch& search) {
    constexpr std::uint64_t kNoteHeaderSize = sizeof(Elf64_Nhdr);
    static_assert(sizeof(Elf64_Nhdr) == sizeof(Elf32_Nhdr));
    const std::uint64_t size = segment.size();
    std::uint64_t offset = 0;
    while (offset < size) {
        if (size - offset < kNoteHeaderSize) {
            search.failure = IdentityReadFailure::malformed;
            return;
        }
        const std::uint64_t nameSize = littleEndianAt<std::uint32_t>(segment, offset + offsetof(Elf64_Nhdr, n_namesz));
        const std::uint64_t descSize = littleEndianAt<std::uint32_t>(segment, offset + offsetof(Elf64_Nhdr, n_descsz));
        const std::uint32_t type = littleEndianAt<std::uint32_t>(segment, offset + offsetof(Elf64_Nhdr, n_type));
        // All quantities are below 2^33 here, so none of the sums can wrap.
        const std::uint64_t nameStart = offset + kNoteHeaderSize;
        const std::uint64_t descStart = alignUp(nameStart + nameSize, alignment);
        if (descStart > size || descSize > size - descStart) {
            search.failure = IdentityReadFailure::malformed;
            return;
        }
        const auto name = segment.subspan(nameStart, nameSize);
        if (type == kCodeIdentityNoteType && isIdentityNoteOwner(name)) {
            if (search.identity) {
                search.failure = IdentityReadFailure::conflictingIdentities;
                return;
            }
            search.identity = decodeCodeIdentityNote(segment.subspan(descStart, descSize));
            if (!search.identity) {
                search.failure = IdentityReadFailure::malformed;
                return;
            }
        }
        // The padding after the last descriptor may be cut off by the segment end.
        offset = std::min(alignUp(descStart + descSize, alignment), size);
    }
}

void scanNoteSegment(const ByteSource& image, std::uint64_t fileOffset, std::uint64_t fileSize,
                     std::uint64_t declaredAlignment, NoteSearch& search) {
    if (fileSize == 0) return;
    if (fileSize > kMaxNoteSegmentSize || search.bytesRead + fileSize > kMaxTotalNoteSize) {
        search.failure = IdentityReadFailure::unsupportedFormat;
        return;
    }
    // Notes in a segment aligned to 8 (GNU property notes) pad to 8; every
    // other note segment pads to 4. Other alignments have no defined layout.
    std::uint64_t alignment = 0;
    if (declaredAlignment == 0 || declaredAlignment == 1 || declaredAlignment == 4) {
        alignment = 4;
    } else if (declaredAlignment == 8) {
        alignment = 8;
    } else {
        search.failure = IdentityReadFailure::malformed;
        return;
    }
    std::vector<std::byte> segment(fileSize);
    if (!image.readExactly(fileOffset, segment)) {
        search.failure = IdentityReadFailure::malformed;
        return;
    }
    search.bytesRead += fileSize;
    scanNotes(segment, alignment, search);
}

template <typename Class>
IdentityReadResult readWithClass(const ByteSource& image) {
    std::array<std::byte, sizeof(typename Class::Header)> header{};
    if (!image.readExactly(0, header)) return unexpected(IdentityReadFailure::malformed);

    const auto type = littleEndianAt<std::uint16_t>(header, offsetof(typename Class::Header, e_type));
    if (type != ET_EXEC && type != ET_DYN) return unexpected(IdentityReadFailure::unsupportedFormat);
    if (littleEndianAt<std::uint32_t>(header, offsetof(typename Class::Header, e_version)) != EV_CURRENT) {
        return unexpected(IdentityReadFailure::malformed);
    }
    if (littleEndianAt<std::uint16_t>(header, offsetof(typename Class::Header, e_ehsize)) != header.size()) {
        return unexpected(IdentityReadFailure::malformed);
    }
    const std::uint64_t count = littleEndianAt<std::uint16_t>(header, offsetof(typename Class::Header, e_phnum));
    if (count == 0) return unexpected(IdentityReadFailure::noIdentity);
    if (count == PN_XNUM || count > kMaxProgramHeaders) return unexpected(IdentityReadFailure::unsupportedFormat);
    const std::uint64_t entrySize = littleEndianAt<std::uint16_t>(header, offsetof(typename Class::Header, e_phentsize));
    if (entrySize != sizeof(typename Class::ProgramHeader)) return unexpected(IdentityReadFailure::malformed);

    std::vector<std::byte> table(count * entrySize);
    if (!image.readExactly(Class::programHeaderOffset(header), table)) {
        return unexpected(IdentityReadFailure::malformed);
    }

    NoteSearch search;
    for (std::uint64_t i = 0; i < count && !search.failure; ++i) {
        const auto entry = std::span<const std::byte>(table).subspan(i * entrySize, entrySize);
        if (littleEndianAt<std::uint32_t>(entry, offsetof(typename Class::ProgramHeader, p_type)) != PT_NOTE) continue;
        scanNoteSegment(image, Class::segmentOffset(entry), Class::segmentFileSize(entry),
                        Class::segmentAlignment(entry), search);
    }
    if (search.failure) return unexpected(*search.failure);
    if (!search.identity) return unexpected(IdentityReadFailure::noIdentity);
    return *search.identity;
}

}  // namespace

IdentityReadResult readEmbeddedCodeIdentity(const ByteSource& image) {
    std::array<std::byte, EI_NIDENT> ident{};
    if (!image.readExactly(0, ident)) return unexpected(IdentityReadFailure::notElf);
    if (std::memcmp(ident.data(), ELFMAG, SELFMAG) != 0) return unexpected(IdentityReadFailure::notElf);
    if (std::to_integer<unsigned>(ident[EI_DATA]) != ELFDATA2LSB) {
        return unexpected(IdentityReadFailure::unsupportedFormat);
    }
    if (std::to_integer<unsigned>(ident[EI_VERSION]) != EV_CURRENT) return unexpected(IdentityReadFailure::malformed);
    switch (std::to_integer<unsigned>(ident[EI_CLASS])) {
        case ELFCLASS64: return readWithClass<Elf64>(image);
        case ELFCLASS32: return readWithClass<Elf32>(image);
        default: return unexpected(IdentityReadFailure::unsupportedFormat);
    }
}

}  // namespace smcd::platform
