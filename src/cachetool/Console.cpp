#include "cachetool/Console.h"

namespace cachetool {

Progress::Progress(const Console& console, std::string_view label, std::size_t total)
    : console_(console),
      label_(label),
      total_(total),
      active_(console.errIsTerminal && console.err && total >= kLargeCache) {
  Draw();
}

Progress::~Progress() {
  // Wipes the bar, so that a message after it starts on a clean line.
  if (active_) console_.err("\r" + std::string(label_.size() + 60, ' ') + "\r");
}

void Progress::Step() {
  ++done_;
  Draw();
}

void Progress::Draw() {
  if (!active_) return;
  const int percent = total_ ? static_cast<int>(done_ * 100 / total_) : 100;
  if (percent == shown_) return;
  shown_ = percent;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  console_.err("\r" + label_ + " [" + std::string(static_cast<size_t>(filled), '#') +
               std::string(static_cast<size_t>(kWidth - filled), ' ') + "] " +
               std::to_string(done_) + "/" + std::to_string(total_));
}

}  // namespace cachetool
