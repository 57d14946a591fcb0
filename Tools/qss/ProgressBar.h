// ProgressBar: a one-line bar for long work, redrawn in place on a terminal.
//
// Disabled bars cost nothing and print nothing, so commands create one
// unconditionally and let the context decide. Redraws are limited to whole
// percent steps so that a byte-by-byte caller does not flood the terminal.

#ifndef TOOLS_QSS_PROGRESSBAR_H_
#define TOOLS_QSS_PROGRESSBAR_H_

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
  void Draw();

  std::ostream& terminal_;
  bool enabled_;
  std::string label_;
  std::int64_t total_;
  std::int64_t done_ = 0;
  int drawnPermille_ = -1;
};

}  // namespace qss_tool

#endif  // TOOLS_QSS_PROGRESSBAR_H_
