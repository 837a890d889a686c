// Small text helpers of the cache tool's output: UTF-8 for the console, JSON and HTML.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace cachetool {

// Wrong usage: the message is the one line printed before the tool exits with 2.
class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text in UTF-8, the way the platform layer writes paths (bytes that came in as invalid UTF-8
// go out as the same bytes).
std::string Utf8(std::u16string_view text);

// A JSON string literal of the text, in UTF-8.
std::string JsonString(std::u16string_view text);

// The text escaped for HTML content and attribute values, in UTF-8.
std::string HtmlText(std::u16string_view text);

// Base64 (RFC 4648, with padding) of the bytes.
std::string Base64(std::string_view bytes);

}  // namespace cachetool
