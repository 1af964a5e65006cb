#pragma once

#include <cstdint>

#include "common/expected.h"
#include "platform/code_signing/linux/byte_source.h"
#include "platform/code_signing/code_identity.h"

namespace smcd::platform {

enum class IdentityReadFailure {
    notElf,                 // no ELF magic
    unsupportedFormat,      // big-endian, unknown class, not an executable, or beyond the size caps
    malformed,              // headers or notes that do not fit the file or contradict themselves
    noIdentity,             // a sound ELF image without an identity note
    conflictingIdentities,  // more than one identity note: which one would count is a guess
};

using IdentityReadResult = Expected<CodeIdentity, IdentityReadFailure>;

// Caps on what an untrusted image may make the reader do.
inline constexpr std::uint32_t kMaxProgramHeaders = 512;
inline constexpr std::uint64_t kMaxNoteSegmentSize = 64 * 1024;
inline constexpr std::uint64_t kMaxTotalNoteSize = 256 * 1024;

// Finds the identity note in the PT_NOTE segments of a 32- or 64-bit
// little-endian ELF executable or shared object. Only the ELF header, the
// program header table and the note segments are read, each through bounds
// checks against the image size; section headers are ignored because they
// play no part in loading and so prove nothing about what runs.
IdentityReadResult readEmbeddedCodeIdentity(const ByteSource& image);

}  // namespace smcd::platform
