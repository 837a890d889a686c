// The core library's OS calls on POSIX. Paths and environment values are UTF-8 bytes at the OS;
// the conversion is lossless both ways, as in the platform layer: a byte that is not part of valid
// UTF-8 maps to U+DC80..U+DCFF and back to itself, and any other unpaired surrogate takes its
// three-byte form.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tarncore/system.h"

namespace tarncore::sys {
namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      AppendUtf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xDC80 && c < 0xDD00) {
      out += static_cast<char>(c - 0xDC00);  // an undecodable byte, given back as it was
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    // Length, smallest value and first continuation byte range of a valid sequence.
    std::size_t length = 0;
    char32_t c = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      length = 2, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3, c = b & 0x0F;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;  // no encoded surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4, c = b & 0x07;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    }
    bool valid = length != 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = next >= (k == 1 ? low : 0x80) && next <= (k == 1 ? high : 0xBF);
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += static_cast<char16_t>(0xDC00 + b);
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += length;
  }
  return out;
}

std::string NativePath(const Char* path) { return ToUtf8(std::u16string_view(path)); }

const char* NonEmptyEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string HomeFolder() {
  if (const char* home = NonEmptyEnvironment("HOME")) return home;
  // No HOME: the account's home folder from the user database.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return found->pw_dir;
  }
  throw std::runtime_error("no home folder");
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::atomic<unsigned> temporaryCounter{0};

}  // namespace

std::optional<Text> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return FromUtf8(value);
}

Text LocalDataFolder() {
  // XDG: an unset or empty XDG_DATA_HOME means $HOME/.local/share.
  const auto trimmed = [](std::string folder) {
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    return folder;
  };
  if (const char* xdg = NonEmptyEnvironment("XDG_DATA_HOME")) return FromUtf8(trimmed(xdg));
  return FromUtf8(trimmed(HomeFolder()) + "/.local/share");
}

File OpenForReading(const Char* path) {
  return File(std::fopen(NativePath(path).c_str(), "rbe"));  // "e": close on exec
}

bool ReplaceFile(const Char* target, const void* data, std::size_t size) {
  const std::string native = NativePath(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Beside the target, so the rename stays within one file system and is atomic.
    const std::string temporary = native + "." + std::to_string(getpid()) + "-" +
                                  std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    const bool written = WriteAll(fd, static_cast<const unsigned char*>(data), size);
    const bool closed = close(fd) == 0;
    if (written && closed && std::rename(temporary.c_str(), native.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
  }
  return false;
}

void RemoveFile(const Char* path) { unlink(NativePath(path).c_str()); }

}  // namespace tarncore::sys
