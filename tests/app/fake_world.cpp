#include "fake_world.h"

#include <cstdio>

#include "platform/ini_reader.h"
#include "platform/platform.h"
#include "preview/UpdatePreviewUnit.h"

namespace fakeworld {

World& TheWorld() {
  static World world;
  return world;
}

void Reset() { TheWorld() = World(); }

std::string Line(const Text& text) {
  std::string out;
  for (const char16_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    }
  }
  return out;
}

namespace {

Text Canonical(const Text& path) {
  const auto alias = TheWorld().aliases.find(path);
  return alias == TheWorld().aliases.end() ? path : alias->second;
}

Entry* Find(const Text& path) {
  const auto it = TheWorld().files.find(Canonical(path));
  return it == TheWorld().files.end() ? nullptr : &it->second;
}

void Log(const std::string& line) { TheWorld().log.push_back(line); }

}  // namespace

}  // namespace fakeworld

namespace platform {

using fakeworld::Find;
using fakeworld::Line;
using fakeworld::Log;
using fakeworld::TheWorld;

const char16_t kPathSeparator = u'\\';
bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u':'; }
const Text& ExecutableSuffix() {
  static const Text suffix = u".exe";
  return suffix;
}

Text ModulePath() { return TheWorld().modulePath; }
std::vector<Text> CommandLineArguments() { return TheWorld().arguments; }

void ShellStart(const Text& file, const std::optional<Text>& parameters, const Text& folder) {
  Log("start " + Line(file) + (parameters ? " [" + Line(*parameters) + "]" : " (no parameters)") +
      " in " + Line(folder));
}

std::optional<FileAttributes> GetAttributes(const Text& path) {
  const fakeworld::Entry* e = Find(path);
  if (!e) return std::nullopt;
  return FileAttributes{e->folder, e->readOnly};
}

bool FileExists(const Text& path) {
  const fakeworld::Entry* e = Find(path);
  return e && !e->folder;
}

bool FolderExists(const Text& path) {
  const fakeworld::Entry* e = Find(path);
  return e && e->folder;
}

bool DeleteFile(const Text& path) {
  Log("delete " + Line(path));
  const fakeworld::Entry* e = Find(path);
  if (!e || e->folder || e->readOnly) return false;
  TheWorld().files.erase(fakeworld::Canonical(path));
  return true;
}

bool MoveFile(const Text& from, const Text& to) {
  Log("move " + Line(from) + " -> " + Line(to));
  const fakeworld::Entry* e = Find(from);
  if (!e || Find(to)) return false;
  const fakeworld::Entry moved = *e;
  TheWorld().files.erase(fakeworld::Canonical(from));
  TheWorld().files[to] = moved;
  return true;
}

bool SetNormalAttributes(const Text& path) {
  Log("normal attributes " + Line(path));
  fakeworld::Entry* e = Find(path);
  if (!e) return false;
  e->readOnly = false;
  return true;
}

bool MayBeSameFile(const Text& a, const Text& b) {
  return Find(a) && Find(b) && fakeworld::Canonical(a) == fakeworld::Canonical(b);
}

bool ReadWholeFile(const Text& path, std::string& bytes) {
  bytes.clear();
  const fakeworld::Entry* e = Find(path);
  if (!e || e->folder) return false;
  bytes = e->bytes;
  return true;
}

bool WriteNewFile(const Text& path, std::string_view bytes) {
  Log("write " + Line(path) + " [" + std::string(bytes) + "]");
  TheWorld().files[fakeworld::Canonical(path)] = fakeworld::Entry{false, false, std::string(bytes)};
  return true;
}

// The real INI rules over the fake file's bytes.
Text ReadIniString(const Text& file, const Text& section, const Text& key, const Text& fallback) {
  const fakeworld::Entry* e = Find(file);
  if (!e || e->folder) return fallback;
  return ReadIniValueFromBytes(e->bytes, section, key, fallback);
}

}  // namespace platform

namespace preview {

void PrepareDataFolders() { fakeworld::Log("prepare data folders"); }
void PurgePreviews() { fakeworld::Log("purge"); }
void ImportPreviewRequest(const std::u16string& requestPath) {
  fakeworld::Log("import " + fakeworld::Line(requestPath));
}

}  // namespace preview
