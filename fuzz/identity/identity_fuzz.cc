// libFuzzer target for the code-identity reader; the input is the whole
// executable image. Invariants, none of which needs a second ELF parser:
//  - nothing is read outside the image (AddressSanitizer watches the copy,
//    which is exactly as large as the input);
//  - an identity that is claimed consists of three fields of 1 to 255
//    printable ASCII bytes without '"' or '\', and stands in the image as
//    written, each field followed by its NUL;
//  - the same bytes answer the same twice, and the same when they are read
//    through a descriptor (the daemon's path) instead of from memory, with
//    every descriptor closed afterwards.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/unique_fd.h"
#include "platform/code_signing/linux/byte_source.h"
#include "platform/code_signing/linux/elf_identity_reader.h"
#include "support/fuzz_input.h"

namespace {

using smcd::platform::CodeIdentity;
using smcd::platform::IdentityReadFailure;
using smcd::platform::IdentityReadResult;

// What one read answered, in a form that compares.
struct Answer {
    std::optional<CodeIdentity> identity;
    std::optional<IdentityReadFailure> failure;
    bool operator==(const Answer&) const = default;
};

Answer answerOf(const IdentityReadResult& result) {
    if (result) return {*result, std::nullopt};
    return {std::nullopt, result.error()};
}

[[noreturn]] void violated(const char* invariant) {
    std::fprintf(stderr, "identity_fuzz: invariant broken: %s\n", invariant);
    std::abort();
}

bool isPlainField(std::string_view field) {
    if (field.empty() || field.size() > 255) return false;
    for (const char c : field) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || c == '"' || c == '\\') return false;
    }
    return true;
}

Answer readThroughDescriptor(std::span<const std::byte> image) {
    const smcd::UniqueFd file(::memfd_create("identity_fuzz", MFD_CLOEXEC));
    if (!file) violated("a memory file can be made");
    const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    if (!smcd::fuzz::writeAll(file.get(), bytes)) violated("the memory file takes the image");
    return answerOf(
        smcd::platform::readEmbeddedCodeIdentity(smcd::platform::DescriptorByteSource(file.get(), image.size())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size heap copy, so that a read one past the end is caught even
    // where libFuzzer's own buffer would have had slack.
    const std::vector<std::byte> image(reinterpret_cast<const std::byte*>(data),
                                       reinterpret_cast<const std::byte*>(data) + size);
    const smcd::platform::MemoryByteSource source(image);
    const Answer first = answerOf(smcd::platform::readEmbeddedCodeIdentity(source));

    if (answerOf(smcd::platform::readEmbeddedCodeIdentity(source)) != first) violated("the same bytes answer the same");
    const std::size_t descriptorsBefore = smcd::fuzz::openDescriptors();
    if (readThroughDescriptor(image) != first) violated("a descriptor reads as memory does");
    if (smcd::fuzz::openDescriptors() != descriptorsBefore) violated("every descriptor is closed");

    if (const auto& identity = first.identity) {
        for (const auto* field : {&identity->identifier, &identity->teamIdentifier, &identity->shortVersion}) {
            if (!isPlainField(*field)) violated("identity fields are plain text of 1 to 255 bytes");
        }
        std::string written = identity->identifier;
        written += '\0';
        written += identity->teamIdentifier;
        written += '\0';
        written += identity->shortVersion;
        written += '\0';
        const std::string_view input(reinterpret_cast<const char*>(data), size);
        if (input.find(written) == std::string_view::npos) violated("the identity stands in the image as written");
    }
    return 0;
}
