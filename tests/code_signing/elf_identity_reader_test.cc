#include "platform/code_signing/linux/elf_identity_reader.h"

#include <elf.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

#include "code_signing/elf_image_builder.h"
#include "common/unique_fd.h"
#include "platform/code_signing/linux/code_identity_note.h"
#include "platform/code_signing/linux/executable_anchor.h"
#include "support/failure_of.h"
#include "support/temp_dir.h"

namespace smcd::platform {
namespace {

using test::buildElfImage;
using test::ElfNote;
using test::ElfSegment;
using test::ElfWidth;
using test::failureOf;

const CodeIdentity kAppIdentity{"com.vornik.app", "Q4ZK2M7WXR", "1.0"};

IdentityReadResult readImage(const std::vector<std::byte>& bytes) {
    return readEmbeddedCodeIdentity(MemoryByteSource(bytes));
}

std::optional<CodeIdentity> identityOf(const IdentityReadResult& r) { return r ? std::optional(*r) : std::nullopt; }

// Identifier, team and version, each ending in a NUL.
std::string identityDescriptor(const std::string& identifier, const std::string& team, const std::string& version) {
    return identifier + '\0' + team + '\0' + version + '\0';
}

ElfNote identityNote(const std::string& identifier = "com.vornik.app") {
    return {"Vornik", kCodeIdentityNoteType, identityDescriptor(identifier, "Q4ZK2M7WXR", "1.0")};
}

TEST(ElfIdentityReader, FindsTheIdentityAmongOtherNotesInEitherClassButInNoTruncation) {
    // A GNU ABI tag has the same note type as the identity; only the owner tells them apart.
    const ElfNote gnuAbiTag{"GNU", NT_GNU_ABI_TAG, std::string("\0\0\0\0\3\0\0\0\2\0\0\0\0\0\0\0", 16)};
    const ElfNote longerOwner{"Vornikx", kCodeIdentityNoteType, identityDescriptor("com.evil", "EVIL", "9")};
    const ElfNote shorterOwner{"Vorni", kCodeIdentityNoteType, identityDescriptor("com.evil", "EVIL", "9")};
    for (const auto width : {ElfWidth::bits64, ElfWidth::bits32}) {
        const auto image = buildElfImage(width, {ElfSegment{PT_LOAD, 4096, {}},
                                                 ElfSegment{PT_NOTE, 8, {gnuAbiTag, {"Vornik", 2, "not an identity"}}},
                                                 ElfSegment{PT_NOTE, 4, {longerOwner, shorterOwner, identityNote()}}});
        EXPECT_EQ(identityOf(readImage(image.bytes)), kAppIdentity);
        // Only the alignment padding after the last note may go unnoticed.
        const auto single = buildElfImage(width, {ElfSegment{PT_NOTE, 4, {identityNote()}}});
        for (std::size_t length = 0; length < single.bytes.size(); ++length) {
            const std::vector<std::byte> prefix(single.bytes.begin(), single.bytes.begin() + length);
            if (readImage(prefix)) {
                EXPECT_GE(length, single.segmentOffsets.back() + 12 + 8 + 30) << length;
            }
        }
    }
}

TEST(ElfIdentityReader, RefusesImagesWithoutExactlyOneWellFormedIdentityNote) {
    using F = IdentityReadFailure;
    const std::string descriptor = identityDescriptor("com.vornik.app", "Q4ZK2M7WXR", "1.0");
    const auto notes = [](std::vector<ElfNote> list) { return ElfSegment{PT_NOTE, 4, std::move(list)}; };
    std::vector<std::pair<std::vector<ElfSegment>, F>> cases = {
        {{notes({{"Vornik", 2, descriptor}})}, F::noIdentity},
        {{notes({{"vornik", kCodeIdentityNoteType, descriptor}})}, F::noIdentity},
        {{ElfSegment{PT_LOAD, 4, {identityNote()}}}, F::noIdentity},  // only PT_NOTE segments are looked at
        {{}, F::noIdentity},
        {{notes({identityNote(), identityNote()})}, F::conflictingIdentities},  // even when equal
        {{notes({identityNote("com.evil")}), notes({identityNote()})}, F::conflictingIdentities},
    };
    // Descriptors that are not three plain fields.
    using namespace std::string_literals;
    for (const std::string& bad : {"a\0T\0"s, "a\0T\0001"s, "a\0T\0001\0x\0"s, "a\0T\0001\0\0"s, "\0T\0001\0"s, "a\0T\"\0001\0"s,
                                   "a\n\0T\0001\0"s, ""s, std::string(300, 'a') + "\0T\0001\0"s})
        cases.push_back({{notes({{"Vornik", kCodeIdentityNoteType, bad}})}, F::malformed});
    for (const auto width : {ElfWidth::bits64, ElfWidth::bits32})
        for (std::size_t i = 0; i < cases.size(); ++i)
            EXPECT_EQ(failureOf(readImage(buildElfImage(width, cases[i].first).bytes)), cases[i].second) << "case " << i;
}

TEST(ElfIdentityReader, RefusesBentHeadersTablesSegmentsAndNotes) {
    const auto valid = buildElfImage(ElfWidth::bits64, {ElfSegment{PT_NOTE, 4, {identityNote()}}});
    const std::uint64_t size = valid.bytes.size(), huge = ~std::uint64_t{0}, entry = sizeof(Elf64_Ehdr);
    const std::uint64_t phoff = offsetof(Elf64_Ehdr, e_phoff), phnum = offsetof(Elf64_Ehdr, e_phnum),
                        offset = entry + offsetof(Elf64_Phdr, p_offset), filesz = entry + offsetof(Elf64_Phdr, p_filesz),
                        align = entry + offsetof(Elf64_Phdr, p_align), note = valid.segmentOffsets.at(0);
    constexpr auto unsupported = IdentityReadFailure::unsupportedFormat, malformed = IdentityReadFailure::malformed;
    const std::tuple<std::uint64_t, std::uint64_t, std::size_t, IdentityReadFailure> bends[] = {
        {EI_MAG3, 'G', 1, IdentityReadFailure::notElf}, {EI_MAG0, '#', 1, IdentityReadFailure::notElf},
        // headers it does not support
        {EI_DATA, ELFDATA2MSB, 1, unsupported}, {EI_CLASS, ELFCLASSNONE, 1, unsupported},
        {offsetof(Elf64_Ehdr, e_type), ET_REL, 2, unsupported}, {phnum, PN_XNUM, 2, unsupported}, {phnum, 513, 2, unsupported},
        {EI_VERSION, 0, 1, malformed}, {offsetof(Elf64_Ehdr, e_version), 2, 4, malformed},
        {offsetof(Elf64_Ehdr, e_ehsize), 52, 2, malformed}, {offsetof(Elf64_Ehdr, e_phentsize), 32, 2, malformed},
        {EI_CLASS, ELFCLASS32, 1, malformed},  // a 32-bit header claimed for a 64-bit layout
        // tables and segments outside the file
        {phoff, size - 8, 8, malformed}, {phoff, huge - 8, 8, malformed}, {offset, size, 8, malformed},
        {offset, huge - 4, 8, malformed}, {filesz, size, 8, malformed}, {filesz, huge, 8, unsupported},
        {filesz, 65537, 8, unsupported}, {align, 16, 8, malformed}, {align, 3, 8, malformed},
        // notes that overrun their segment
        {note + offsetof(Elf64_Nhdr, n_namesz), 0xffffffff, 4, malformed},
        {note + offsetof(Elf64_Nhdr, n_descsz), 0xfffffffd, 4, malformed},
        {filesz, 8, 8, malformed},            // room for part of a note header only
        {filesz, 12 + 8 + 10, 8, malformed},  // ends inside the descriptor
    };
    for (const auto& [at, value, width, expected] : bends) {
        auto bytes = valid.bytes;
        test::patchLittleEndian(bytes, at, value, width);
        EXPECT_EQ(failureOf(readImage(bytes)), expected) << "offset " << at << " value " << value;
    }
}

TEST(ExecutableAnchor, OnlyARootOwnedRegularFileNobodyElseMayWriteOnALocalFileSystemIsAnchored) {
    using A = ExecutableAnchor;
    constexpr __fsword_t ext4 = EXT4_SUPER_MAGIC, fuse = FUSE_SUPER_MAGIC, nfs = NFS_SUPER_MAGIC, smb = SMB2_SUPER_MAGIC;
    // Remote servers say who owns a file, so root's ownership there proves nothing.
    for (const auto& [mode, owner, fileSystem, expected] :
         {std::tuple{S_IFREG | 0755, 0u, ext4, A::anchored}, {S_IFREG | 04555, 0u, __fsword_t{TMPFS_MAGIC}, A::anchored},
          {S_IFREG | 0775, 0u, ext4, A::writableByGroupOrOthers}, {S_IFREG | 0757, 0u, ext4, A::writableByGroupOrOthers},
          {S_IFREG | 0755, 501u, ext4, A::notOwnedByRoot}, {S_IFDIR | 0755, 0u, ext4, A::notRegularFile},
          {S_IFREG | 0755, 0u, fuse, A::untrustedFileSystem}, {S_IFREG | 0755, 0u, nfs, A::untrustedFileSystem},
          {S_IFREG | 0755, 0u, smb, A::untrustedFileSystem}, {S_IFREG | 0775, 0u, fuse, A::writableByGroupOrOthers}}) {
        struct stat status {};
        status.st_mode = mode, status.st_uid = owner;
        EXPECT_EQ(anchorOf(status, fileSystem), expected) << std::oct << mode << " uid " << std::dec << owner << " " << fileSystem;
    }
}

TEST(DescriptorByteSource, RefusesRangesBeyondTheMeasuredSizeOrTheActualFile) {
    test::TempDir dir;
    test::writeFile(dir / "data", "0123456789");
    UniqueFd fd(::open((dir / "data").c_str(), O_RDONLY | O_CLOEXEC));
    std::array<std::byte, 4> buffer{};
    const DescriptorByteSource measured(fd.get(), 10);
    EXPECT_TRUE(measured.readExactly(6, buffer));
    EXPECT_EQ(std::to_integer<char>(buffer[0]), '6');
    EXPECT_FALSE(measured.readExactly(7, buffer));
    EXPECT_FALSE(measured.readExactly(~std::uint64_t{0} - 1, buffer));
    EXPECT_FALSE(DescriptorByteSource(fd.get(), 20).readExactly(8, buffer)) << "the file shrank after it was measured";
}

}  // namespace
}  // namespace smcd::platform
