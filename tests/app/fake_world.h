// A test double of everything the command entry asks of the outside world: the platform layer
// (platform.h) over an in-memory file system, and the preview cache's three operations. It follows
// the Windows product's rules on every build ("\" and ":" end a folder, ".exe" names programs), and
// logs each call that changes something or starts a program, in order.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fakeworld {

using Text = std::u16string;

struct Entry {
  bool folder = false;
  bool readOnly = false;
  std::string bytes;
};

struct World {
  Text modulePath = u"C:\\prog\\hopgate.exe";
  std::vector<Text> arguments;  // as platform::CommandLineArguments gives them
  // Paths exactly as the program spells them; no normalisation.
  std::map<Text, Entry> files;
  // Other spellings of one file (MayBeSameFile): alias -> the path in `files`.
  std::map<Text, Text> aliases;
  // One line per call that changes something or starts a program, e.g. "move a -> b".
  std::vector<std::string> log;
};

// The world of the running test; Reset() gives a fresh one.
World& TheWorld();
void Reset();

// A printable line for the log (ASCII as itself, other units as \uXXXX).
std::string Line(const Text& text);

}  // namespace fakeworld
