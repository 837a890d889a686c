// The failures of reading a preview request. Both derive from std::exception and carry an ASCII
// message; the import catches them (and everything else) and ends without a word.
#pragma once

#include <stdexcept>

namespace preview {

// A JSON value was taken for a kind it is not: ValiJSONStr raises it when the request text is a
// JSON value other than an object.
class EInvalidTypeConversion : public std::runtime_error {
 public:
  EInvalidTypeConversion()
      : std::runtime_error("Invalid type conversion: the JSON value is not an object") {}
  using std::runtime_error::runtime_error;
};

// A request could not be read: LoadTextFile raises it when the file cannot be opened or its bytes
// cannot be decoded, and ReadJsonMember when it is given no value (the text could not be read).
class ERequestReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace preview
