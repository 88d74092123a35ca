#pragma once

// Which encoding a text model file is in, and its text as the parsers take
// it. Files of other programs come as plain ASCII or UTF-8, sometimes with a
// UTF-8 byte-order mark, and from some Windows programs as UTF-16 with a
// byte-order mark. Anything else holding NUL bytes (UTF-16 without a mark,
// UTF-32, binary data) is no text the parsers could read sensibly.

#include "support/core/operation_result.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace morvex {

enum class TextEncoding : unsigned char {
    Utf8,              // ASCII or UTF-8 without a mark
    Utf8WithMark,      // EF BB BF first
    Utf16LittleEndian, // FF FE first
    Utf16BigEndian,    // FE FF first
    // Refused:
    Utf16WithoutMark, // ASCII with a NUL beside every character
    Utf32,            // FF FE 00 00 first
    Binary,           // other NUL bytes
};

struct TextCheck {
    TextEncoding encoding = TextEncoding::Utf8;
    std::string_view reason; // why the text is refused; empty when it is not

    bool readable() const { return reason.empty(); }
};

// The encoding a byte-order mark at the start of `bytes` names: Utf8 when
// there is none.
TextEncoding byteOrderMark(std::string_view bytes);

// Looks at the start of a file: its byte-order mark, then NUL bytes among
// the bytes given. Pass as many bytes as should be checked (a whole file,
// a header); only a mark's encoding is told from the first bytes alone.
TextCheck checkTextEncoding(std::string_view bytes);

// The bytes a mark takes at the start of text in `encoding` (0 to 3).
std::size_t byteOrderMarkSize(TextEncoding encoding);

// UTF-16 text after its mark, turned into UTF-8; pairs of surrogates become
// one character, a lone surrogate U+FFFD. Fails on an odd byte count.
OperationResult decodeUtf16(std::string_view units, bool bigEndian, std::string& out, Failure* failure = nullptr);

// A whole text file ready to parse: `text` views the bytes themselves (less
// a UTF-8 mark) or, for UTF-16, `decoded` holding them as UTF-8. Fails with
// the reason for text in any other encoding.
OperationResult textAsUtf8(std::string_view bytes, std::string& decoded, std::string_view& text,
                           Failure* failure = nullptr);

} // namespace morvex
