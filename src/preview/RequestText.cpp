#include "preview/RequestText.h"

#include <utility>

#include "platform/platform.h"
#include "platform/text_encoding.h"

namespace preview {

std::u16string DecodeTextBytes(std::string_view bytes) {
  using textencoding::ByteOrderMark;
  const ByteOrderMark mark = textencoding::DetectMark(bytes);
  const std::string_view rest = bytes.substr(textencoding::MarkLength(mark));
  switch (mark) {
    case ByteOrderMark::Utf8: {
      auto text = textencoding::DecodeUtf8Strict(rest);
      if (!text) throw ERequestReadError("The request file is not valid UTF-8");
      return std::move(*text);
    }
    case ByteOrderMark::Utf16LittleEndian:
    case ByteOrderMark::Utf16BigEndian:
      if (rest.size() == 1) throw ERequestReadError("The request file ends inside a UTF-16 unit");
      return textencoding::DecodeUtf16(rest, mark == ByteOrderMark::Utf16BigEndian);
    case ByteOrderMark::None:
      break;
  }
  return platform::DecodeAnsi(bytes);
}

std::u16string JoinLinesCrLf(std::u16string_view text) {
  text = text.substr(0, text.find(u'\0'));
  std::u16string joined;
  joined.reserve(text.size() + 2);
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    while (i < n && text[i] != u'\r' && text[i] != u'\n') ++i;
    joined.append(text.substr(start, i - start));
    joined += u"\r\n";
    if (i < n && text[i] == u'\r') ++i;
    if (i < n && text[i] == u'\n') ++i;
  }
  return joined;
}

std::u16string LoadTextFile(const std::u16string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, bytes)) {
    throw ERequestReadError("The request file cannot be opened for reading");
  }
  return JoinLinesCrLf(DecodeTextBytes(bytes));
}

}  // namespace preview
