#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/text_encoding.h"
#include "support/process.h"
#include "support/temp_folder.h"

namespace testsupport {

std::u16string PathText(const fs::path& p) { return p.u16string(); }

namespace {

// A program that cannot be started gives exit code -1 and no output.
template <typename Arguments>
RunResult Run(const fs::path& exe, const Arguments& arguments, const RunOptions& options) {
  RunResult result;
  try {
    ChildProcess child(exe, arguments, options);
    result.exitCode = child.Wait();
    result.output = child.Output();
    result.errors = child.Errors();
  } catch (const std::runtime_error&) {
  }
  return result;
}

}  // namespace

RunResult RunArguments(const fs::path& exe, const std::vector<std::u16string>& args,
                       const RunOptions& options) {
  return Run(exe, args, options);
}

RunResult RunCommandLine(const fs::path& exe, const std::u16string& tail,
                         const RunOptions& options) {
  return Run(exe, CommandLineTail{tail}, options);
}

std::optional<Record> WaitForRecord(const fs::path& recorderExe, double seconds) {
  fs::path file = recorderExe;
  file += ".rec";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!fs::exists(file)) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The recorder moves its record into place whole, yet on Windows the move may still hold the
  // file for a moment (Wine's MoveFileExW keeps it open for deletion, which an ordinary open does
  // not share): a record that cannot be opened yet, or reads empty, is read again for a while. A
  // whole record is never empty, since its first line is the working folder.
  const auto readable = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string content;
  for (;;) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    content = ss.str();
    if (!content.empty() || std::chrono::steady_clock::now() > readable) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The record is UTF-8, one item a line: the working folder, then what was received. Read by the
  // lossless rule, so that a byte that is not UTF-8 comes back as the unit it was sent as.
  std::istringstream in(content);
  std::string line;
  Record r;
  bool first = true;
  while (std::getline(in, line)) {
    std::u16string text = textencoding::DecodeUtf8Lossless(line);
    if (first) {
      r.workingFolder = fs::path(text);
      first = false;
    } else {
      r.received.push_back(text);
    }
  }
  return r;
}

}  // namespace testsupport
