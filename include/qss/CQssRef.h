#ifndef QSS_CQSSREF_H_
#define QSS_CQSSREF_H_

#include <utility>

namespace qss {

/// CQssRef<T>: a scoped holder of one reference to a CQssRefCountedObject.
///
/// Used where a reference belongs to a scope (tools, tests, the installer's
/// walk) rather than to another library object. Attach() adopts a reference
/// the caller already owns (for example one handed out by OpenStream);
/// constructing from a raw pointer takes a new one.
///
/// Threads: one holder is used by one thread at a time; holders in different
/// threads may hold the same object (its count is atomic). A CQssRef of a
/// type that is only declared can be a member of a class whose destructor is
/// defined where the type is complete.
template <typename T>
class CQssRef {
 public:
  CQssRef() = default;
  /// Takes a new reference to object (none for null).
  explicit CQssRef(T* object) : object_(object) {
    if (object_) object_->AddRef();
  }
  /// Takes a new reference to what other holds.
  CQssRef(const CQssRef& other) : CQssRef(other.object_) {}
  /// Takes over other's reference; other is empty afterwards.
  CQssRef(CQssRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  /// Holds what other holds, releasing what this held before.
  CQssRef& operator=(CQssRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~CQssRef() { Reset(); }

  /// Takes over a reference that the caller already owns.
  static CQssRef Attach(T* object) {
    CQssRef ref;
    ref.object_ = object;
    return ref;
  }

  /// Gives the reference up without releasing it.
  T* Detach() { return std::exchange(object_, nullptr); }

  /// Releases the reference held, if any; the holder is empty afterwards.
  void Reset() {
    if (T* object = std::exchange(object_, nullptr)) object->Release();
  }

  /// For out-parameters: releases what is held and hands out the slot.
  T** Receive() {
    Reset();
    return &object_;
  }

  /// The object held (no reference added), or null.
  T* get() const { return object_; }
  /// The object held; the holder must not be empty.
  T* operator->() const { return object_; }
  /// The object held; the holder must not be empty.
  T& operator*() const { return *object_; }
  /// Whether an object is held.
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace qss

#endif  // QSS_CQSSREF_H_
