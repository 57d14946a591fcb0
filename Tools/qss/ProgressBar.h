// ProgressBar: a one-line bar for long work, redrawn in place on standard
// error: bytes done and in all, the rate and the time left.
//
// Disabled bars cost nothing and print nothing, so commands create one
// unconditionally and let the context decide. Redraws happen at whole
// percent steps or every fifth of a second, whichever comes first, so that a
// byte-by-byte caller does not flood the terminal and a slow one still sees
// the rate move.

#ifndef TOOLS_QSS_PROGRESSBAR_H_
#define TOOLS_QSS_PROGRESSBAR_H_

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace qss_tool {

class ProgressBar {
 public:
  ProgressBar(std::ostream& terminal, bool enabled, std::string label, std::int64_t total);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Advance(std::int64_t amount);
  // Clears the line; called by the destructor too.
  void Finish();

 private:
  void Draw(bool force);

  std::ostream& terminal_;
  bool enabled_;
  std::string label_;
  std::int64_t total_;
  std::int64_t done_ = 0;
  int drawnPercent_ = -1;
  std::size_t drawnWidth_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point drawnAt_;
};

// "1.5 MiB", "512 B": sizes as the bar shows them.
std::string FormatBytes(std::int64_t bytes);
// The bar's line without the leading carriage return:
// "pack [####....]  42%  1.2 MiB/2.9 MiB  4.0 MiB/s  0:01 left". Rate and
// time left are "--" until a rate can be told.
std::string ProgressLine(const std::string& label, std::int64_t done, std::int64_t total, double seconds);

}  // namespace qss_tool

#endif  // TOOLS_QSS_PROGRESSBAR_H_
