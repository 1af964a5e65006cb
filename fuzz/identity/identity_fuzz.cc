// libFuzzer target for the code-identity reader; the input is the whole
// executable image. Invariants, none of which needs a second ELF parser:
//  - nothing is read outside the image (AddressSanitizer watches the copy,
//    which is exactly as large as the input);
//  - an identity that is claimed consists of three fields of 1 to 255
//    printable ASCII bytes without '"' or '\', and stands in the image as
//    written, each field followed by its NUL;
//  - the same bytes answer the same when they are read through a
//    descriptor (the daemon's path) instead of from memory, with every
//    descriptor closed afterwards.
#include <sys/mman.h>

#include <variant>

#include "common/unique_fd.h"
#include "platform/code_signing/linux/byte_source.h"
#include "platform/code_signing/linux/elf_identity_reader.h"
#include "support/fuzz_input.h"

namespace {

using smcd::fuzz::violated;
using Answer = std::variant<smcd::platform::CodeIdentity, smcd::platform::IdentityReadFailure>;

Answer answerOf(const smcd::platform::IdentityReadResult& result) { return result ? Answer(*result) : Answer(result.error()); }

bool isPlainField(std::string_view field) {
    const auto plain = [](unsigned char c) { return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\'; };
    return !field.empty() && field.size() <= 255 && std::all_of(field.begin(), field.end(), plain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size heap copy, so that a read one past the end is caught even
    // where libFuzzer's own buffer would have had slack.
    const std::vector<std::byte> image(reinterpret_cast<const std::byte*>(data),
                                       reinterpret_cast<const std::byte*>(data) + size);
    const Answer fromMemory = answerOf(smcd::platform::readEmbeddedCodeIdentity(smcd::platform::MemoryByteSource(image)));

    const std::size_t descriptors = smcd::fuzz::openDescriptors();
    {
        const smcd::UniqueFd file(::memfd_create("identity_fuzz", MFD_CLOEXEC));
        if (!file || ::write(file.get(), data, size) != static_cast<ssize_t>(size)) violated("a memory file takes the image");
        const smcd::platform::DescriptorByteSource source(file.get(), size);
        if (answerOf(smcd::platform::readEmbeddedCodeIdentity(source)) != fromMemory) violated("a descriptor reads as memory does");
    }
    if (smcd::fuzz::openDescriptors() != descriptors) violated("every descriptor is closed");

    if (const auto* identity = std::get_if<smcd::platform::CodeIdentity>(&fromMemory)) {
        for (const auto* field : {&identity->identifier, &identity->teamIdentifier, &identity->shortVersion})
            if (!isPlainField(*field)) violated("identity fields are plain text of 1 to 255 bytes", *field);
        const std::string written =
            identity->identifier + '\0' + identity->teamIdentifier + '\0' + identity->shortVersion + '\0';
        if (std::string_view(reinterpret_cast<const char*>(data), size).find(written) == std::string_view::npos)
            violated("the identity stands in the image as written");
    }
    return 0;
}
