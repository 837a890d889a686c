// Where the cache tool's commands write: standard output for results, standard error for the
// one-line failure message and the progress bar. Texts are UTF-8.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace cachetool {

struct Console {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
  // True when standard error is a terminal, so that a progress bar can be drawn on it.
  bool errIsTerminal = false;
};

// A progress bar on standard error for a long walk over the cache: drawn only when standard
// error is a terminal and the walk has at least kLargeCache steps; wiped again when done.
class Progress {
 public:
  static constexpr std::size_t kLargeCache = 1000;

  Progress(const Console& console, std::string_view label, std::size_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Step();

 private:
  void Draw();

  const Console& console_;
  std::string label_;
  std::size_t total_, done_ = 0;
  int shown_ = -1;  // the last percentage drawn
  bool active_;
};

}  // namespace cachetool
