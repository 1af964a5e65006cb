#include "platform/code_signing/elf_identity_reader.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <stdexcept>
#include <string>

#include "code_signing/elf_image_builder.h"
#include "common/unique_fd.h"
#include "platform/code_signing/code_identity_note.h"
#include "platform/code_signing/executable_anchor.h"
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
    if (const auto* failure = std::get_if<IdentityReadFailure>(&result)) return *failure;
    return std::nullopt;
}

ElfNote identityNote(const std::string& identifier = "com.vornik.app") {
    return {"Vornik", kCodeIdentityNoteType, identityDescriptor(identifier, "Q4ZK2M7WXR", "1.0")};
}

std::uint64_t firstSegmentEntry(const ElfImage& image) { return image.programHeaderOffset; }

TEST(ElfIdentityReader, FindsTheIdentityInBothElfClasses) {
    for (const auto width : {ElfWidth::bits64, ElfWidth::bits32}) {
        const auto image = buildIdentityImage(width, "com.vornik.app", "Q4ZK2M7WXR", "1.0");
        const auto result = readImage(image.bytes);
        ASSERT_TRUE(std::holds_alternative<CodeIdentity>(result)) << static_cast<int>(*failureOf(result));
        EXPECT_EQ(std::get<CodeIdentity>(result), kAppIdentity);
    }
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
    const auto result = readImage(image.bytes);
    ASSERT_TRUE(std::holds_alternative<CodeIdentity>(result));
    EXPECT_EQ(std::get<CodeIdentity>(result), kAppIdentity);

    const auto eightAligned = buildElfImage(ElfWidth::bits64, {ElfSegment{PT_NOTE, 8, {gnuAbiTag, identityNote()}}});
    EXPECT_EQ(readImage(eightAligned.bytes), IdentityReadResult(kAppIdentity));
}

TEST(ElfIdentityReader, ImagesWithoutTheNoteHaveNoIdentity) {
    const ElfNote lookalikes[] = {
        {"Vornik", 2, identityDescriptor("com.vornik.app", "Q4ZK2M7WXR", "1.0")},
        {"vornik", kCodeIdentityNoteType, identityDescriptor("com.vornik.app", "Q4ZK2M7WXR", "1.0")},
        {"GNU", kCodeIdentityNoteType, identityDescriptor("com.vornik.app", "Q4ZK2M7WXR", "1.0")},
    };
    for (const auto& note : lookalikes) {
        EXPECT_EQ(failureOf(readImage(buildElfImage(ElfWidth::bits64, {ElfSegment{PT_NOTE, 4, {note}}}).bytes)),
                  IdentityReadFailure::noIdentity)
            << note.owner;
    }
    // The identity note outside any PT_NOTE segment is not looked at.
    EXPECT_EQ(failureOf(readImage(buildElfImage(ElfWidth::bits64, {ElfSegment{PT_LOAD, 4, {identityNote()}}}).bytes)),
              IdentityReadFailure::noIdentity);
    EXPECT_EQ(failureOf(readImage(buildElfImage(ElfWidth::bits64, {}).bytes)), IdentityReadFailure::noIdentity);
}

TEST(ElfIdentityReader, TwoIdentitiesAreRefusedEvenWhenEqual) {
    const auto sameSegment = buildElfImage(ElfWidth::bits64, {ElfSegment{PT_NOTE, 4, {identityNote(), identityNote()}}});
    EXPECT_EQ(failureOf(readImage(sameSegment.bytes)), IdentityReadFailure::conflictingIdentities);
    const auto twoSegments = buildElfImage(ElfWidth::bits32, {ElfSegment{PT_NOTE, 4, {identityNote("com.evil")}},
                                                              ElfSegment{PT_NOTE, 4, {identityNote()}}});
    EXPECT_EQ(failureOf(readImage(twoSegments.bytes)), IdentityReadFailure::conflictingIdentities);
}

TEST(ElfIdentityReader, RefusesDescriptorsThatAreNotThreePlainFields) {
    const std::string descriptors[] = {
        std::string("com.vornik.app\0Q4ZK2M7WXR\0", 26),
        std::string("com.vornik.app\0Q4ZK2M7WXR\0001.0", 29),
        std::string("com.vornik.app\0Q4ZK2M7WXR\0001.0\0extra\0", 36),
        std::string("com.vornik.app\0Q4ZK2M7WXR\0001.0\0\0", 31),
        std::string("\0Q4ZK2M7WXR\0001.0\0", 17),
        std::string("com.vornik.app\0Q4ZK\"2M7WXR\0001.0\0", 31),
        std::string("com.vornik.app\n\0Q4ZK2M7WXR\0001.0\0", 31),
        std::string(""),
        std::string(300, 'a') + std::string("\0Q4ZK2M7WXR\0001.0\0", 17),
    };
    for (const auto& descriptor : descriptors) {
        const auto image =
            buildElfImage(ElfWidth::bits64, {ElfSegment{PT_NOTE, 4, {{"Vornik", kCodeIdentityNoteType, descriptor}}}});
        EXPECT_EQ(failureOf(readImage(image.bytes)), IdentityReadFailure::malformed) << descriptor.size();
    }
}

TEST(ElfIdentityReader, RefusesFilesThatAreNotElf) {
    for (const std::string& text : {std::string(), std::string("\177EL"), std::string("#!/bin/sh\necho hi\n"),
                                   std::string("\177ELG") + std::string(60, '\0')}) {
        const std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(text.data()),
                                           reinterpret_cast<const std::byte*>(text.data()) + text.size());
        EXPECT_EQ(failureOf(readImage(bytes)), IdentityReadFailure::notElf) << text;
    }
}

TEST(ElfIdentityReader, RefusesHeadersItDoesNotSupport) {
    const auto valid = buildIdentityImage(ElfWidth::bits64, "com.vornik.app", "Q4ZK2M7WXR", "1.0");
    const auto variant = [&](auto&& bend) {
        auto bytes = valid.bytes;
        bend(bytes);
        return failureOf(readImage(bytes));
    };
    EXPECT_EQ(variant([](auto& b) { b[EI_DATA] = std::byte{ELFDATA2MSB}; }), IdentityReadFailure::unsupportedFormat);
    EXPECT_EQ(variant([](auto& b) { b[EI_CLASS] = std::byte{ELFCLASSNONE}; }), IdentityReadFailure::unsupportedFormat);
    EXPECT_EQ(variant([](auto& b) { patchLittleEndian(b, offsetof(Elf64_Ehdr, e_type), ET_REL, 2); }),
              IdentityReadFailure::unsupportedFormat);
    EXPECT_EQ(variant([](auto& b) { patchLittleEndian(b, offsetof(Elf64_Ehdr, e_phnum), PN_XNUM, 2); }),
              IdentityReadFailure::unsupportedFormat);
    EXPECT_EQ(variant([](auto& b) { patchLittleEndian(b, offsetof(Elf64_Ehdr, e_phnum), kMaxProgramHeaders + 1, 2); }),
              IdentityReadFailure::unsupportedFormat);
    EXPECT_EQ(variant([](auto& b) { b[EI_VERSION] = std::byte{0}; }), IdentityReadFailure::malformed);
    EXPECT_EQ(variant([](auto& b) { patchLittleEndian(b, offsetof(Elf64_Ehdr, e_version), 2, 4); }),
              IdentityReadFailure::malformed);
    EXPECT_EQ(variant([](auto& b) { patchLittleEndian(b, offsetof(Elf64_Ehdr, e_ehsize), 52, 2); }),
              IdentityReadFailure::malformed);
    EXPECT_EQ(variant([](auto& b) { patchLittleEndian(b, offsetof(Elf64_Ehdr, e_phentsize), 32, 2); }),
              IdentityReadFailure::malformed);
    // A 32-bit header claimed for a 64-bit layout.
    EXPECT_EQ(variant([](auto& b) { b[EI_CLASS] = std::byte{ELFCLASS32}; }), IdentityReadFailure::malformed);
}

TEST(ElfIdentityReader, RefusesTablesAndSegmentsOutsideTheFile) {
    const auto valid = buildIdentityImage(ElfWidth::bits64, "com.vornik.app", "Q4ZK2M7WXR", "1.0");
    const std::uint64_t entry = firstSegmentEntry(valid);
    const std::uint64_t size = valid.bytes.size();
    const auto bent = [&](std::uint64_t offset, std::uint64_t value, std::size_t width) {
        auto bytes = valid.bytes;
        patchLittleEndian(bytes, offset, value, width);
        return failureOf(readImage(bytes));
    };
    const std::uint64_t huge = ~std::uint64_t{0};
    EXPECT_EQ(bent(offsetof(Elf64_Ehdr, e_phoff), size, 8), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(offsetof(Elf64_Ehdr, e_phoff), size - 8, 8), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(offsetof(Elf64_Ehdr, e_phoff), huge - 8, 8), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_offset), size, 8), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_offset), huge - 4, 8), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_filesz), size, 8), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_filesz), huge, 8), IdentityReadFailure::unsupportedFormat);
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_filesz), kMaxNoteSegmentSize + 1, 8),
              IdentityReadFailure::unsupportedFormat);
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_align), 16, 8), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_align), 3, 8), IdentityReadFailure::malformed);
}

TEST(ElfIdentityReader, RefusesNotesThatOverrunTheirSegment) {
    const auto valid = buildIdentityImage(ElfWidth::bits64, "com.vornik.app", "Q4ZK2M7WXR", "1.0");
    const std::uint64_t entry = firstSegmentEntry(valid);
    const std::uint64_t note = valid.segmentOffsets.at(0);
    const auto bent = [&](std::uint64_t offset, std::uint64_t value, std::size_t width) {
        auto bytes = valid.bytes;
        patchLittleEndian(bytes, offset, value, width);
        return failureOf(readImage(bytes));
    };
    EXPECT_EQ(bent(note + offsetof(Elf64_Nhdr, n_namesz), 0xffffffff, 4), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(note + offsetof(Elf64_Nhdr, n_descsz), 0xffffffff, 4), IdentityReadFailure::malformed);
    EXPECT_EQ(bent(note + offsetof(Elf64_Nhdr, n_descsz), 0xfffffffd, 4), IdentityReadFailure::malformed);
    // Room for only part of a note header at the end of the segment.
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_filesz), 8, 8), IdentityReadFailure::malformed);
    // The segment ends inside the descriptor.
    EXPECT_EQ(bent(entry + offsetof(Elf64_Phdr, p_filesz), 12 + 8 + 10, 8), IdentityReadFailure::malformed);
}

TEST(ElfIdentityReader, NoTruncationOfAnImageYieldsItsIdentity) {
    for (const auto width : {ElfWidth::bits64, ElfWidth::bits32}) {
        const auto image = buildIdentityImage(width, "com.vornik.app", "Q4ZK2M7WXR", "1.0");
        for (std::size_t length = 0; length < image.bytes.size(); ++length) {
            const std::vector<std::byte> prefix(image.bytes.begin(), image.bytes.begin() + length);
            const auto result = readImage(prefix);
            // Only the alignment padding after the last note may go unnoticed.
            if (std::holds_alternative<CodeIdentity>(result)) {
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
        if (const auto* identity = std::get_if<CodeIdentity>(&result)) {
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
    EXPECT_EQ(readFile(clients + "/gate_client_app"), IdentityReadResult(kAppIdentity));
    EXPECT_EQ(readFile(clients + "/gate_client_old_version"),
              IdentityReadResult(CodeIdentity{"com.vornik.app", "Q4ZK2M7WXR", "0.9"}));
    EXPECT_EQ(failureOf(readFile(clients + "/gate_client_no_identity")), IdentityReadFailure::noIdentity);
    EXPECT_EQ(readFile("/proc/self/exe"),
              IdentityReadResult(CodeIdentity{"com.vornik.codesigning-tests", "TESTTEAM01", "2.5"}));
}

TEST(ExecutableAnchor, OnlyARootOwnedRegularFileNobodyElseMayWriteIsAnchored) {
    struct Case {
        mode_t mode;
        uid_t owner;
        ExecutableAnchor expected;
    };
    const Case cases[] = {
        {S_IFREG | 0755, 0, ExecutableAnchor::anchored},
        {S_IFREG | 04555, 0, ExecutableAnchor::anchored},
        {S_IFREG | 0775, 0, ExecutableAnchor::writableByGroupOrOthers},
        {S_IFREG | 0757, 0, ExecutableAnchor::writableByGroupOrOthers},
        {S_IFREG | 0755, 501, ExecutableAnchor::notOwnedByRoot},
        {S_IFDIR | 0755, 0, ExecutableAnchor::notRegularFile},
        {S_IFCHR | 0755, 0, ExecutableAnchor::notRegularFile},
    };
    for (const auto& c : cases) {
        struct stat status {};
        status.st_mode = c.mode;
        status.st_uid = c.owner;
        EXPECT_EQ(anchorOfStatus(status), c.expected) << std::oct << c.mode << " uid " << std::dec << c.owner;
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
