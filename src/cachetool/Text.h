// Small text helpers of the cache tool's output: UTF-8 for the console, JSON and HTML, counts and
// columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace cachetool {

// The tool's texts are UTF-16, as hopgate's are; they become UTF-8 only on their way out.
using Text = std::u16string;

// Wrong usage: the message is the one line printed before the tool exits with 2.
class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text in UTF-8, the way the platform layer writes paths (bytes that came in as invalid UTF-8
// go out as the same bytes).
std::string Utf8(std::u16string_view text);

// A JSON string literal of the text, always well-formed UTF-8: a surrogate that is not half of a
// pair (on POSIX a byte that was not UTF-8, see Utf8) is written as its escape, "\udcff". The
// one writer of the tool's JSON strings.
std::string JsonString(std::u16string_view text);

// The text escaped for HTML content and attribute values, in UTF-8.
std::string HtmlText(std::u16string_view text);

// Base64 (RFC 4648, with padding) of the bytes.
std::string Base64(std::string_view bytes);

// A count and its noun, the noun with an "s" unless the count is 1: "1 row", "0 rows".
std::string Counted(std::uint64_t count, std::string_view noun);

// The text with blanks added on the right (PadRight) or on the left (PadLeft) up to `width` bytes;
// a longer text stays as it is.
std::string PadRight(std::string text, std::size_t width);
std::string PadLeft(std::string text, std::size_t width);

}  // namespace cachetool
