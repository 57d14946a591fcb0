// FileSystemRedirection: the per-thread switch that lets a 32-bit program on
// a 64-bit Windows see the native system directory instead of its 32-bit
// stand-in.
//
// Where the platform redirects nothing, both calls do nothing. The switch
// belongs to the calling thread, so every file and process operation that
// relies on it must run on the thread that called Disable.

#ifndef TOOLS_ORVIKINSTALLSERVICE_FILESYSTEMREDIRECTION_H_
#define TOOLS_ORVIKINSTALLSERVICE_FILESYSTEMREDIRECTION_H_

#include <memory>

class FileSystemRedirection {
 public:
  virtual ~FileSystemRedirection() = default;

  // Turns redirection off for the calling thread; *previous receives the
  // value Restore needs. False when there was nothing to turn off (then
  // Restore must not be called).
  virtual bool Disable(void** previous) = 0;
  virtual void Restore(void* previous) = 0;
};

// The redirection switch of the platform the program was built for.
std::unique_ptr<FileSystemRedirection> NewPlatformFileSystemRedirection();

#endif  // TOOLS_ORVIKINSTALLSERVICE_FILESYSTEMREDIRECTION_H_
