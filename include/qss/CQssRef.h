// CQssRef<T>: a scoped holder of one reference to a CQssRefCountedObject.
//
// Used where a reference belongs to a scope (tools, tests, the installer's
// walk) rather than to another library object. Attach() adopts a reference
// the caller already owns (for example one handed out by OpenStream);
// constructing from a raw pointer takes a new one.

#ifndef QSS_CQSSREF_H_
#define QSS_CQSSREF_H_

#include <utility>

namespace qss {

template <typename T>
class CQssRef {
 public:
  CQssRef() = default;
  explicit CQssRef(T* object) : object_(object) {
    if (object_) object_->AddRef();
  }
  CQssRef(const CQssRef& other) : CQssRef(other.object_) {}
  CQssRef(CQssRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  CQssRef& operator=(CQssRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~CQssRef() { Reset(); }

  // Takes over a reference that the caller already owns.
  static CQssRef Attach(T* object) {
    CQssRef ref;
    ref.object_ = object;
    return ref;
  }

  // Gives the reference up without releasing it.
  T* Detach() { return std::exchange(object_, nullptr); }

  void Reset() {
    if (T* object = std::exchange(object_, nullptr)) object->Release();
  }

  // For out-parameters: releases what is held and hands out the slot.
  T** Receive() {
    Reset();
    return &object_;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace qss

#endif  // QSS_CQSSREF_H_
