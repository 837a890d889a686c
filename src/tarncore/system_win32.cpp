// The core library's OS calls on Windows: the W functions take the UTF-16 texts as they are.
#include <windows.h>
// windows.h first: the shell and CRT headers below need its types.
#include <knownfolders.h>
#include <shlobj.h>
#include <stdio.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "platform/scoped_handle.h"
#include "tarncore/system.h"
#include "tarncore/temporary_name.h"

namespace tarncore::sys {
namespace {

std::atomic<unsigned> temporaryCounter{0};

bool WriteAll(HANDLE file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const DWORD piece = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

std::optional<Text> Environment(const char* name) {
  const std::wstring wideName(name, name + std::char_traits<char>::length(name));
  Text value;
  // The variable may change between the two calls: ask again while the buffer is too small.
  for (DWORD capacity = 0;;) {
    value.resize(capacity);
    SetLastError(ERROR_SUCCESS);
    const DWORD result =
        GetEnvironmentVariableW(wideName.c_str(), capacity > 0 ? value.data() : nullptr, capacity);
    if (result == 0) {
      // Zero is both "not set" and "set to nothing"; the last error tells them apart.
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return Text();
    }
    if (result < capacity) {
      value.resize(result);
      return value;
    }
    capacity = result;  // the size needed, terminating zero included
  }
}

Text LocalDataFolder() {
  PWSTR path = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path);
  Text folder = SUCCEEDED(result) && path != nullptr ? Text(path) : Text();
  CoTaskMemFree(path);  // also when the call failed: the documentation asks for it
  if (folder.empty()) throw std::runtime_error("no LocalAppData folder");
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return folder;
}

File OpenForReading(const Char* path) { return File(_wfopen(path, L"rb")); }

bool ReplaceFile(const Char* target, const void* data, std::size_t size) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Beside the target, so the move stays within one volume and is a rename.
    const Text temporary =
        TemporaryName(Text(target), GetCurrentProcessId(), temporaryCounter.fetch_add(1));
    platform::ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return false;
    }
    // Flushed before the move, and the move written through: after a power cut the target holds
    // the old file or the whole new one.
    const bool written = WriteAll(file.get(), static_cast<const unsigned char*>(data), size) &&
                         FlushFileBuffers(file.get()) != 0;
    const bool closed = file.Close();
    if (written && closed &&
        MoveFileExW(temporary.c_str(), target,
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
      return true;
    }
    DeleteFileW(temporary.c_str());
    return false;
  }
  return false;
}

void RemoveFile(const Char* path) { DeleteFileW(path); }

}  // namespace tarncore::sys
