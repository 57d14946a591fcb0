#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>

namespace qss_tool {

namespace {
constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

std::string FormatDuration(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof(text), "%lld:%02lld", whole / 60, whole % 60);
  }
  return text;
}
}  // namespace

std::string FormatBytes(std::int64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(std::max<std::int64_t>(bytes, 0)) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024.0 && unit < 6) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string ProgressLine(const std::string& label, std::int64_t done, std::int64_t total, double seconds) {
  const int percent = total <= 0 ? 100 : static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
  const int filled = std::clamp(percent, 0, 100) * kBarWidth / 100;
  char percentText[8];
  std::snprintf(percentText, sizeof(percentText), "%3d%%", percent);
  std::string line = label + " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " + percentText +
                     "  " + FormatBytes(done) + "/" + FormatBytes(total) + "  ";
  // Below a tenth of a second the rate is noise.
  if (seconds < 0.1 || done <= 0) return line + "-- B/s  --:-- left";
  const double rate = static_cast<double>(done) / seconds;
  return line + FormatBytes(static_cast<std::int64_t>(rate)) + "/s  " +
         FormatDuration(static_cast<double>(std::max<std::int64_t>(total - done, 0)) / rate) + " left";
}

ProgressBar::ProgressBar(std::ostream& terminal, bool enabled, std::string label, std::int64_t total)
    : terminal_(terminal),
      enabled_(enabled),
      label_(std::move(label)),
      total_(std::max<std::int64_t>(total, 0)),
      start_(std::chrono::steady_clock::now()),
      drawnAt_(start_) {
  if (enabled_) Draw(true);
}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Advance(std::int64_t amount) {
  if (!enabled_) return;
  done_ = std::min(total_, done_ + std::max<std::int64_t>(amount, 0));
  Draw(false);
}

void ProgressBar::Finish() {
  if (!enabled_) return;
  enabled_ = false;
  terminal_ << '\r' << std::string(drawnWidth_, ' ') << '\r' << std::flush;
}

void ProgressBar::Draw(bool force) {
  const auto now = std::chrono::steady_clock::now();
  const int percent = total_ == 0 ? 100 : static_cast<int>(static_cast<double>(done_) * 100.0 / total_);
  if (!force && percent == drawnPercent_ && now - drawnAt_ < kRedrawInterval) return;
  drawnPercent_ = percent;
  drawnAt_ = now;
  const std::string line =
      ProgressLine(label_, done_, total_, std::chrono::duration<double>(now - start_).count());
  // A shorter line than the last leaves none of the last one behind.
  const std::size_t pad = drawnWidth_ > line.size() ? drawnWidth_ - line.size() : 0;
  drawnWidth_ = std::max(drawnWidth_, line.size());
  terminal_ << '\r' << line << std::string(pad, ' ') << std::flush;
}

}  // namespace qss_tool
