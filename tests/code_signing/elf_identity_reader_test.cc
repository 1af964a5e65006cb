#include "platform/code_signing/linux/elf_identity_reader.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

#include "code_signing/elf_image_builder.h"
#include "common/unique_fd.h"
#include "platform/code_signing/linux/code_identity_note.h"
#include "platform/code_signing/linux/executable_anchor.h"
#include "support/temp_dir.h"

namespace smcd::platform {
namespace {

using test::buildElfImage;
using test::buildIdentityImage;
using test::ElfImage;
using test::ElfNote;
using test::ElfSegment;
using test::ElfWidth;
using test::identityDescriptor;
using test::patchLittleEndian;

const CodeIdentity kAppIdentity{"com.vornik.app", "Q4ZK2M7WXR", "1.0"};

IdentityReadResult readImage(const std::vector<std::byte>& bytes) {
    return readEmbeddedCodeIdentity(MemoryByteSource(bytes));
}

IdentityReadResult readFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw std::runtime_error("cannot open " + path);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) throw std::runtime_error("cannot stat " + path);
    return readEmbeddedCodeIdentity(DescriptorByteSource(fd.get(), static_cast<std::uint64_t>(status.st_size)));
}

std::optional<IdentityReadFailure> failureOf(const IdentityReadResult& result) {
    if (!result) return result.error();
    return std::nullopt;
}

std::optional<CodeIdentity> identityOf(const IdentityReadResult& result) {
    if (result) return *result;
    return std::nullopt;
}

ElfNote identityNote(const std::string& identifier = "com.vornik.app") {
    return {"Vornik", kCodeIdentityNoteType, identityDescriptor(identifier, "Q4ZK2M7WXR", "1.0")};
}

TEST(ElfIdentityReader, PicksTheIdentityOutOfOtherNotesAndSegments) {
    // A GNU ABI tag has the same note type as the identity; only the owner tells them apart.
    const ElfNote gnuAbiTag{"GNU", NT_GNU_ABI_TAG, std::string("\0\0\0\0\3\0\0\0\2\0\0\0\0\0\0\0", 16)};
    const ElfNote vornikOtherType{"Vornik", 2, "not an identity"};
    const ElfNote longerOwner{"Vornikx", kCodeIdentityNoteType, identityDescriptor("com.evil", "EVIL", "9")};
    const ElfNote shorterOwner{"Vorni", kCodeIdentityNoteType, identityDescriptor("com.evil", "EVIL", "9")};
    const auto image = buildElfImage(ElfWidth::bits64, {
                                                           ElfSegment{PT_LOAD, 4096, {}},
                                                           ElfSegment{PT_NOTE, 8, {{"GNU", 5, std::string(16, '\1')}}},
                                                           ElfSegment{PT_NOTE, 4, {gnuAbiTag, vornikOtherType, longerOwner}},
                                                           ElfSegment{PT_NOTE, 4, {shorterOwner, identityNote()}},
                                                       });
    EXPECT_EQ(identityOf(readImage(image.bytes)), kAppIdentity);

    const auto eightAligned = buildElfImage(ElfWidth::bits64, {ElfSegment{PT_NOTE, 8, {gnuAbiTag, identityNote()}}});
    EXPECT_EQ(identityOf(readImage(eightAligned.bytes)), kAppIdentity);
}

TEST(ElfIdentityReader, RefusesImagesWithoutExactlyOneWellFormedIdentityNote) {
    using F = IdentityReadFailure;
    const std::string descriptor = identityDescriptor("com.vornik.app", "Q4ZK2M7WXR", "1.0");
    const auto notes = [](std::vector<ElfNote> list) { return ElfSegment{PT_NOTE, 4, std::move(list)}; };
    std::vector<std::pair<std::vector<ElfSegment>, F>> cases = {
        {{notes({{"Vornik", 2, descriptor}})}, F::noIdentity},
        {{notes({{"vornik", kCodeIdentityNoteType, descriptor}})}, F::noIdentity},
        {{notes({{"GNU", kCodeIdentityNoteType, descriptor}})}, F::noIdentity},
        {{ElfSegment{PT_LOAD, 4, {identityNote()}}}, F::noIdentity},  // only PT_NOTE segments are looked at
        {{}, F::noIdentity},
        {{notes({identityNote(), identityNote()})}, F::conflictingIdentities},  // even when equal
        {{notes({identityNote("com.evil")}), notes({identityNote()})}, F::conflictingIdentities},
    };
    // Descriptors that are not three plain fields.
    for (const std::string& bad :
         {std::string("com.vornik.app\0Q4ZK2M7WXR\0", 26), std::string("com.vornik.app\0Q4ZK2M7WXR\0001.0", 29),
          std::string("com.vornik.app\0Q4ZK2M7WXR\0001.0\0extra\0", 36),
          std::string("com.vornik.app\0Q4ZK2M7WXR\0001.0\0\0", 31), std::string("\0Q4ZK2M7WXR\0001.0\0", 17),
          std::string("com.vornik.app\0Q4ZK\"2M7WXR\0001.0\0", 31),
          std::string("com.vornik.app\n\0Q4ZK2M7WXR\0001.0\0", 31), std::string(""),
          std::string(300, 'a') + std::string("\0Q4ZK2M7WXR\0001.0\0", 17)})
        cases.push_back({{notes({{"Vornik", kCodeIdentityNoteType, bad}})}, F::malformed});
    for (const auto width : {ElfWidth::bits64, ElfWidth::bits32})
        for (std::size_t i = 0; i < cases.size(); ++i)
            EXPECT_EQ(failureOf(readImage(buildElfImage(width, cases[i].first).bytes)), cases[i].second) << "case " << i;
}

TEST(ElfIdentityReader, RefusesFilesThatAreNotElf) {
    for (const std::string& text : {std::string(), std::string("\177EL"), std::string("#!/bin/sh\necho hi\n"),
                                   std::string("\177ELG") + std::string(60, '\0')}) {
        const std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(text.data()),
                                           reinterpret_cast<const std::byte*>(text.data()) + text.size());
        EXPECT_EQ(failureOf(readImage(bytes)), IdentityReadFailure::notElf) << text;
    }
}

TEST(ElfIdentityReader, RefusesBentHeadersTablesSegmentsAndNotes) {
    const auto valid = buildIdentityImage(ElfWidth::bits64, "com.vornik.app", "Q4ZK2M7WXR", "1.0");
    const std::uint64_t entry = valid.programHeaderOffset, note = valid.segmentOffsets.at(0), size = valid.bytes.size();
    const std::uint64_t huge = ~std::uint64_t{0};
    constexpr auto unsupported = IdentityReadFailure::unsupportedFormat, malformed = IdentityReadFailure::malformed;
    const std::tuple<std::uint64_t, std::uint64_t, std::size_t, IdentityReadFailure> bends[] = {
        // headers it does not support
        {EI_DATA, ELFDATA2MSB, 1, unsupported}, {EI_CLASS, ELFCLASSNONE, 1, unsupported},
        {offsetof(Elf64_Ehdr, e_type), ET_REL, 2, unsupported}, {offsetof(Elf64_Ehdr, e_phnum), PN_XNUM, 2, unsupported},
        {offsetof(Elf64_Ehdr, e_phnum), kMaxProgramHeaders + 1, 2, unsupported}, {EI_VERSION, 0, 1, malformed},
        {offsetof(Elf64_Ehdr, e_version), 2, 4, malformed}, {offsetof(Elf64_Ehdr, e_ehsize), 52, 2, malformed},
        {offsetof(Elf64_Ehdr, e_phentsize), 32, 2, malformed},
        {EI_CLASS, ELFCLASS32, 1, malformed},  // a 32-bit header claimed for a 64-bit layout
        // tables and segments outside the file
        {offsetof(Elf64_Ehdr, e_phoff), size, 8, malformed}, {offsetof(Elf64_Ehdr, e_phoff), size - 8, 8, malformed},
        {offsetof(Elf64_Ehdr, e_phoff), huge - 8, 8, malformed}, {entry + offsetof(Elf64_Phdr, p_offset), size, 8, malformed},
        {entry + offsetof(Elf64_Phdr, p_offset), huge - 4, 8, malformed},
        {entry + offsetof(Elf64_Phdr, p_filesz), size, 8, malformed},
        {entry + offsetof(Elf64_Phdr, p_filesz), huge, 8, unsupported},
        {entry + offsetof(Elf64_Phdr, p_filesz), kMaxNoteSegmentSize + 1, 8, unsupported},
        {entry + offsetof(Elf64_Phdr, p_align), 16, 8, malformed}, {entry + offsetof(Elf64_Phdr, p_align), 3, 8, malformed},
        // notes that overrun their segment
        {note + offsetof(Elf64_Nhdr, n_namesz), 0xffffffff, 4, malformed},
        {note + offsetof(Elf64_Nhdr, n_descsz), 0xffffffff, 4, malformed},
        {note + offsetof(Elf64_Nhdr, n_descsz), 0xfffffffd, 4, malformed},
        {entry + offsetof(Elf64_Phdr, p_filesz), 8, 8, malformed},  // room for part of a note header only
        {entry + offsetof(Elf64_Phdr, p_filesz), 12 + 8 + 10, 8, malformed},  // ends inside the descriptor
    };
    for (const auto& [offset, value, width, expected] : bends) {
        auto bytes = valid.bytes;
        patchLittleEndian(bytes, offset, value, width);
        EXPECT_EQ(failureOf(readImage(bytes)), expected) << "offset " << offset << " value " << value;
    }
}

TEST(ElfIdentityReader, FindsTheIdentityInBothElfClassesButInNoTruncation) {
    for (const auto width : {ElfWidth::bits64, ElfWidth::bits32}) {
        const auto image = buildIdentityImage(width, "com.vornik.app", "Q4ZK2M7WXR", "1.0");
        EXPECT_EQ(identityOf(readImage(image.bytes)), kAppIdentity);
        for (std::size_t length = 0; length < image.bytes.size(); ++length) {
            const std::vector<std::byte> prefix(image.bytes.begin(), image.bytes.begin() + length);
            const auto result = readImage(prefix);
            // Only the alignment padding after the last note may go unnoticed.
            if (result) {
                EXPECT_GE(length, image.segmentOffsets.back() + 12 + 8 + 30) << length;
            }
        }
    }
}

TEST(ElfIdentityReader, RandomCorruptionNeverYieldsAnImpossibleIdentity) {
    // Whatever a damaged image yields must still be a well-formed identity;
    // under the sanitizers this also shows every read stays in bounds.
    const auto image = buildElfImage(ElfWidth::bits64, {ElfSegment{PT_NOTE, 8, {{"GNU", 5, std::string(16, '\1')}}},
                                                        ElfSegment{PT_NOTE, 4, {identityNote()}}});
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> position(0, image.bytes.size() - 1);
    std::uniform_int_distribution<int> value(0, 255);
    std::size_t accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        auto bytes = image.bytes;
        for (int flips = 1 + round % 4; flips > 0; --flips) bytes[position(random)] = std::byte(value(random));
        const auto result = readImage(bytes);
        if (const auto identity = identityOf(result)) {
            ++accepted;
            EXPECT_TRUE(isPlainIdentityText(identity->identifier));
            EXPECT_TRUE(isPlainIdentityText(identity->teamIdentifier));
            EXPECT_TRUE(isPlainIdentityText(identity->shortVersion));
        }
    }
    // Flips in bytes the reader ignores leave the identity readable.
    EXPECT_GT(accepted, 0u);
}

TEST(ElfIdentityReader, ReadsTheNoteThatTheBuildEmbeds) {
    const std::string clients = SMCD_GATE_CLIENT_DIR;
    EXPECT_EQ(identityOf(readFile(clients + "/gate_client_app")), kAppIdentity);
    EXPECT_EQ(identityOf(readFile(clients + "/gate_client_old_version")),
              (CodeIdentity{"com.vornik.app", "Q4ZK2M7WXR", "0.9"}));
    EXPECT_EQ(failureOf(readFile(clients + "/gate_client_no_identity")), IdentityReadFailure::noIdentity);
    EXPECT_EQ(identityOf(readFile("/proc/self/exe")),
              (CodeIdentity{"com.vornik.codesigning-tests", "TESTTEAM01", "2.5"}));
}

TEST(ExecutableAnchor, OnlyARootOwnedRegularFileNobodyElseMayWriteIsAnchored) {
    const std::tuple<mode_t, uid_t, ExecutableAnchor> cases[] = {
        {S_IFREG | 0755, 0, ExecutableAnchor::anchored},       {S_IFREG | 04555, 0, ExecutableAnchor::anchored},
        {S_IFREG | 0775, 0, ExecutableAnchor::writableByGroupOrOthers},
        {S_IFREG | 0757, 0, ExecutableAnchor::writableByGroupOrOthers},
        {S_IFREG | 0755, 501, ExecutableAnchor::notOwnedByRoot}, {S_IFDIR | 0755, 0, ExecutableAnchor::notRegularFile},
        {S_IFCHR | 0755, 0, ExecutableAnchor::notRegularFile},
    };
    for (const auto& [mode, owner, expected] : cases) {
        struct stat status {};
        status.st_mode = mode, status.st_uid = owner;
        EXPECT_EQ(anchorOfStatus(status), expected) << std::oct << mode << " uid " << std::dec << owner;
    }
}

TEST(DescriptorByteSource, RefusesRangesBeyondTheMeasuredSizeOrTheActualFile) {
    test::TempDir dir;
    test::writeFile(dir / "data", "0123456789");
    UniqueFd fd(::open((dir / "data").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    std::array<std::byte, 4> buffer{};
    const DescriptorByteSource measured(fd.get(), 10);
    EXPECT_TRUE(measured.readExactly(6, buffer));
    EXPECT_EQ(std::to_integer<char>(buffer[0]), '6');
    EXPECT_FALSE(measured.readExactly(7, buffer));
    EXPECT_FALSE(measured.readExactly(~std::uint64_t{0} - 1, buffer));
    // The file shrank after it was measured.
    const DescriptorByteSource stale(fd.get(), 20);
    EXPECT_FALSE(stale.readExactly(8, buffer));
}

}  // namespace
}  // namespace smcd::platform
