#include "cachetool/Options.h"

#include "cachetool/Cache.h"

namespace cachetool {
namespace {

bool Is(const Text& argument, const char* name) {
  return argument == Text(name, name + std::char_traits<char>::length(name));
}

}  // namespace

OptionReader::OptionReader(const std::vector<Text>& arguments, CommonOptions& common)
    : arguments_(arguments), common_(common) {}

bool OptionReader::Next() {
  if (!taken_) ++at_;
  for (;;) {
    taken_ = false;
    if (at_ >= arguments_.size()) return false;
    const Text& a = arguments_[at_];
    if (Is(a, "--")) {
      ++at_;
      return false;
    }
    if (a.size() < 2 || a[0] != u'-') return false;
    if (Is(a, "--help") || Is(a, "-h")) {
      common_.help = true;
      ++at_;
      continue;
    }
    if (Is(a, "--data-root")) {
      if (at_ + 1 >= arguments_.size()) throw EUsage("--data-root needs a folder");
      common_.dataRoot = arguments_[at_ + 1];
      at_ += 2;
      continue;
    }
    return true;
  }
}

bool OptionReader::Flag(const char* name) {
  if (taken_ || !Is(arguments_[at_], name)) return false;
  taken_ = true;
  ++at_;
  return true;
}

std::optional<Text> OptionReader::Value(const char* name) {
  if (taken_ || !Is(arguments_[at_], name)) return std::nullopt;
  if (at_ + 1 >= arguments_.size()) throw EUsage(std::string(name) + " needs a value");
  taken_ = true;
  at_ += 2;
  return arguments_[at_ - 1];
}

void OptionReader::Unknown() const {
  throw EUsage("unknown option " + Utf8(arguments_[at_]) + " (see --help)");
}

std::vector<Text> OptionReader::Rest() const {
  return std::vector<Text>(arguments_.begin() + static_cast<std::ptrdiff_t>(at_), arguments_.end());
}

bool ReadOptions(const Command& command, const std::vector<Text>& arguments, const Console& console,
                 const std::function<bool(OptionReader&)>& own) {
  CommonOptions common;
  OptionReader reader(arguments, common);
  while (reader.Next()) {
    if (!own(reader)) reader.Unknown();
  }
  if (!reader.Rest().empty()) {
    throw EUsage(std::string(command.name) + " takes no argument " + Utf8(reader.Rest().front()));
  }
  if (common.help) {
    console.out(HelpText(command));
    return false;
  }
  UseDataRoot(common.dataRoot);
  return true;
}

bool ReadFlags(const Command& command, const std::vector<Text>& arguments, const Console& console,
               std::initializer_list<FlagOption> flags) {
  return ReadOptions(command, arguments, console, [flags](OptionReader& r) {
    for (const FlagOption& flag : flags) {
      if (r.Flag(flag.name)) return *flag.on = true;
    }
    return false;
  });
}

}  // namespace cachetool
