#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/code_signing/code_identity.h"

namespace smcd::platform {

// The ELF note that carries a client's code identity (written at build time
// by smcd_embed_code_identity in cmake/CodeIdentity.cmake, which must agree
// with these values): owner name "Vornik", type 1, and a descriptor of three
// NUL-terminated fields, identifier, team identifier and short version, with
// nothing after the third NUL.
inline constexpr std::string_view kCodeIdentityNoteOwner = "Vornik";
inline constexpr std::uint32_t kCodeIdentityNoteType = 1;

// The descriptor's fields, or nothing when it is not exactly three plain
// fields (see isPlainIdentityText).
std::optional<CodeIdentity> decodeCodeIdentityNote(std::span<const std::byte> descriptor);

}  // namespace smcd::platform
