#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>

namespace qss_tool {

namespace {
constexpr int kBarWidth = 40;
}

ProgressBar::ProgressBar(std::ostream& terminal, bool enabled, std::string label, std::int64_t total)
    : terminal_(terminal), enabled_(enabled), label_(std::move(label)), total_(std::max<std::int64_t>(total, 0)) {
  if (enabled_) Draw();
}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Advance(std::int64_t amount) {
  if (!enabled_) return;
  done_ = std::min(total_, done_ + std::max<std::int64_t>(amount, 0));
  Draw();
}

void ProgressBar::Finish() {
  if (!enabled_) return;
  enabled_ = false;
  terminal_ << '\r' << std::string(label_.size() + kBarWidth + 16, ' ') << '\r' << std::flush;
}

void ProgressBar::Draw() {
  const int permille = total_ == 0 ? 1000 : static_cast<int>(static_cast<double>(done_) * 1000.0 / total_);
  if (permille / 10 == drawnPermille_ / 10 && drawnPermille_ >= 0) return;
  drawnPermille_ = permille;
  const int filled = permille * kBarWidth / 1000;
  char percent[16];
  std::snprintf(percent, sizeof(percent), "%3d%%", permille / 10);
  terminal_ << '\r' << label_ << " [" << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] "
            << percent << std::flush;
}

}  // namespace qss_tool
