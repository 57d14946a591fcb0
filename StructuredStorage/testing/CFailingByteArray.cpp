#include "CFailingByteArray.h"

namespace qss {

CFailingByteArray::CFailingByteArray(CPhysicalByteArray* inner) : inner_(inner) {}

CFailingByteArray::~CFailingByteArray() = default;

void CFailingByteArray::Arm(Operation op, std::int64_t n, bool onwards, bool cutShort, QssResult code) {
  Plan& plan = plans_[static_cast<int>(op)];
  plan.failAt.store(0);
  plan.calls.store(0);
  plan.onwards.store(onwards);
  plan.cutShort.store(cutShort);
  plan.code.store(code);
  plan.failAt.store(n < 1 ? 1 : n);
}

void CFailingByteArray::FailNth(Operation op, std::int64_t n, QssResult code) { Arm(op, n, false, false, code); }

void CFailingByteArray::FailFrom(Operation op, std::int64_t n, QssResult code) { Arm(op, n, true, false, code); }

void CFailingByteArray::CutShortNth(std::int64_t n, QssResult code) { Arm(Operation::kWrite, n, false, true, code); }

void CFailingByteArray::Heal() {
  for (Plan& plan : plans_) plan.failAt.store(0);
}

std::int64_t CFailingByteArray::Calls(Operation op) const { return plans_[static_cast<int>(op)].calls.load(); }

bool CFailingByteArray::ShouldFail(Operation op, QssResult* code) {
  Plan& plan = plans_[static_cast<int>(op)];
  const std::int64_t call = plan.calls.fetch_add(1) + 1;
  const std::int64_t failAt = plan.failAt.load();
  if (failAt == 0) return false;
  if (call != failAt && !(plan.onwards.load() && call > failAt)) return false;
  *code = plan.code.load();
  failures_.fetch_add(1);
  return true;
}

QssResult CFailingByteArray::Flush() {
  QssResult code;
  if (ShouldFail(Operation::kFlush, &code)) return code;
  return inner_->Flush();
}

QssResult CFailingByteArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count,
                                    std::uint32_t* bytesRead) {
  QssResult code;
  if (ShouldFail(Operation::kRead, &code)) {
    if (bytesRead) *bytesRead = 0;
    return code;
  }
  return inner_->ReadAt(offset, buffer, count, bytesRead);
}

QssResult CFailingByteArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                                     std::uint32_t* bytesWritten) {
  QssResult code;
  if (ShouldFail(Operation::kWrite, &code)) {
    if (bytesWritten) *bytesWritten = 0;
    if (!plans_[static_cast<int>(Operation::kWrite)].cutShort.load()) return code;
    std::uint32_t moved = 0;
    const QssResult result = count / 2 > 0 ? inner_->WriteAt(offset, buffer, count / 2, &moved) : kQssOk;
    if (bytesWritten) *bytesWritten = moved;
    // The inner array's own failure, if it had one, is the truer report.
    return QssFailed(result) ? result : code;
  }
  return inner_->WriteAt(offset, buffer, count, bytesWritten);
}

QssResult CFailingByteArray::GetSize(std::int64_t* size) { return inner_->GetSize(size); }

QssResult CFailingByteArray::SetSize(std::int64_t size) {
  QssResult code;
  if (ShouldFail(Operation::kSetSize, &code)) return code;
  return inner_->SetSize(size);
}

QssResult CFailingByteArray::SetTimestamp(FileTime time) { return inner_->SetTimestamp(time); }

QssResult CFailingByteArray::Remove() { return inner_->Remove(); }

}  // namespace qss
