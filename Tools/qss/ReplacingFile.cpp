#include "ReplacingFile.h"

#include <string>
#include <utility>

using namespace qss;

namespace qss_tool {

ReplacingFile::ReplacingFile(std::filesystem::path target) : target_(std::move(target)) {}

ReplacingFile::~ReplacingFile() { Abandon(); }

std::filesystem::path ReplacingFile::TemporaryName(const std::filesystem::path& target, int attempt) {
  std::filesystem::path name = ".";
  name += target.filename();
  name += ".qss-tmp-";
  name += std::to_string(native_file::CurrentProcessId());
  if (attempt > 1) {
    name += "-";
    name += std::to_string(attempt);
  }
  return target.parent_path() / name;
}

QssResult ReplacingFile::Open(const std::filesystem::path& path) {
  const QssResult result = NativeFile::Open(path, native_file::kGenericRead | native_file::kGenericWrite,
                                            native_file::kShareRead | native_file::kShareDelete,
                                            native_file::kCreateNew, native_file::kAttributeNormal, &file_);
  if (QssSucceeded(result)) written_ = 0;
  return result;
}

QssResult ReplacingFile::Create() {
  Abandon();
  QssResult result = kQssOk;
  for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
    std::filesystem::path candidate = TemporaryName(target_, attempt);
    result = Open(candidate);
    if (QssSucceeded(result)) {
      temporaryPath_ = std::move(candidate);
      return kQssOk;
    }
    // Only a taken name is worth another attempt.
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) break;
  }
  return result;
}

QssResult ReplacingFile::CreateAtTarget() {
  Abandon();
  const QssResult result = Open(target_);
  atTarget_ = QssSucceeded(result);
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
  if (atTarget_) {
    atTarget_ = false;  // in place, and no longer this object's to delete
    return kQssOk;
  }
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
  if (atTarget_) {
    // A folder under a temporary name holds it: nobody has seen it.
    static_cast<void>(NativeFile::Delete(target_));
    atTarget_ = false;
    return;
  }
  if (temporaryPath_.empty()) return;
  // Nothing more can be done about a file that will not go; its name is
  // hidden and says what it is.
  static_cast<void>(NativeFile::Delete(temporaryPath_));
  temporaryPath_.clear();
}

}  // namespace qss_tool
