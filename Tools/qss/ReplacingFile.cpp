#include "ReplacingFile.h"

#include <string>
#include <utility>

using namespace qss;

namespace qss_tool {

namespace {
// Attempts at a free temporary name; a name of another unpack's leftover or
// of a file in the container itself can be taken.
constexpr int kNameAttempts = 100;
}  // namespace

ReplacingFile::ReplacingFile(std::filesystem::path target) : target_(std::move(target)) {}

ReplacingFile::~ReplacingFile() { Abandon(); }

QssResult ReplacingFile::Create() {
  Abandon();
  std::filesystem::path stem = ".";
  stem += target_.filename();
  stem += ".qss-tmp-";
  stem += std::to_string(native_file::CurrentProcessId());
  QssResult result = kQssOk;
  for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
    std::filesystem::path name = stem;
    if (attempt > 1) {
      name += "-";
      name += std::to_string(attempt);
    }
    const std::filesystem::path candidate = target_.parent_path() / name;
    result = NativeFile::Open(candidate, native_file::kGenericRead | native_file::kGenericWrite,
                              native_file::kShareRead | native_file::kShareDelete, native_file::kCreateNew,
                              native_file::kAttributeNormal, &file_);
    if (QssSucceeded(result)) {
      temporaryPath_ = candidate;
      written_ = 0;
      return kQssOk;
    }
    // Only a taken name is worth another attempt.
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) break;
  }
  return result;
}

QssResult ReplacingFile::Append(const char* data, std::size_t size) {
  if (!file_) return kQssInvalidRequest;
  std::uint32_t done = 0;
  const QssResult result = file_->WriteAt(written_, data, static_cast<std::uint32_t>(size), &done);
  written_ += done;
  if (QssSucceeded(result) && done != size) return kQssUnspecifiedFailure;
  return result;
}

QssResult ReplacingFile::Commit(bool replacing, bool mayReplace) {
  if (!file_) return kQssInvalidRequest;
  if (replacing) {
    const QssResult flushed = file_->Flush();
    if (QssFailed(flushed)) {
      Abandon();
      return flushed;
    }
  }
  // Closed first: Windows moves no open file.
  file_.reset();
  const QssResult moved = replacing || mayReplace ? NativeFile::MoveOver(temporaryPath_, target_)
                                                  : NativeFile::MoveNoReplace(temporaryPath_, target_);
  if (QssFailed(moved)) {
    Abandon();
    return moved;
  }
  temporaryPath_.clear();
  return kQssOk;
}

void ReplacingFile::Abandon() {
  file_.reset();
  if (temporaryPath_.empty()) return;
  // Nothing more can be done about a file that will not go; its name is
  // hidden and says what it is.
  static_cast<void>(NativeFile::Delete(temporaryPath_));
  temporaryPath_.clear();
}

}  // namespace qss_tool
