#pragma once

// Text rules shared by every subsystem: paths and labels are compared as
// Unicode text (canonical equivalence), lengths are user-perceived characters.
// Bytes handed to the file system are never rewritten by anything here.

#include <cstddef>
#include <string>
#include <string_view>

namespace smcd::unicode {

bool isValidUtf8(std::string_view bytes);

// Valid UTF-8 as is; otherwise each maximal invalid subsequence replaced by
// U+FFFD, the way a platform string decodes bytes. For names read from the
// file system before they enter text that must be valid (a reply, a record).
std::string validUtf8Lossy(std::string_view bytes);

// Canonical composition (NFC) of valid UTF-8; invalid input comes back as is,
// so that it still compares equal to itself byte for byte and to nothing else.
// Its cost grows with the square of the longest run of combining marks:
// callers bound the text first (see the screening limits).
std::string canonicalForm(std::string_view text);

// How many times this thread has run the normalizer (ASCII and invalid text
// skip it), so that a test can tell text was refused before any Unicode work.
std::size_t canonicalFormsComputed();

bool canonicallyEqual(std::string_view a, std::string_view b);
bool hasCanonicalPrefix(std::string_view text, std::string_view prefix);

// Number of extended grapheme clusters; invalid UTF-8 counts one per byte.
std::size_t characterCount(std::string_view text);

// Whether the first character of `text` stands on its own after a character
// that joins nothing (such as "/"): false when it begins with a combining
// mark, a joiner or a spacing mark, which would belong to what precedes it.
bool beginsNewCharacter(std::string_view text);

// Simple per-scalar lower-casing of valid UTF-8 (invalid input unchanged).
std::string lowercased(std::string_view text);

// Strips leading and trailing characters of the Unicode whitespace-and-newline
// set (separators, tab to carriage return, next line).
std::string_view trimWhitespaceAndNewlines(std::string_view text);

}  // namespace smcd::unicode
