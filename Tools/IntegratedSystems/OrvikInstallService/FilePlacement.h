// FilePlacement: the file operations that put the service executable in
// place: delete, test, create and write, move.

#ifndef TOOLS_ORVIKINSTALLSERVICE_FILEPLACEMENT_H_
#define TOOLS_ORVIKINSTALLSERVICE_FILEPLACEMENT_H_

#include <cstdint>
#include <memory>
#include <string>

// A file created for writing. The destructor closes it if Close was not
// called.
class OutputFile {
 public:
  virtual ~OutputFile() = default;

  // Appends count bytes. *written receives the bytes actually written, also
  // on failure. False when the write failed.
  virtual bool Write(const void* data, std::uint32_t count, std::uint32_t* written) = 0;

  // Closes the file. False when the system reports that data may be lost.
  virtual bool Close() = 0;
};

class FilePlacement {
 public:
  virtual ~FilePlacement() = default;

  // Deletes a file (not a directory). False when nothing was deleted, a
  // missing file included.
  virtual bool Delete(const std::u16string& path) = 0;

  // True when a file or a directory of that name exists.
  virtual bool Exists(const std::u16string& path) = 0;

  // Creates the file for reading and writing, unshared. The file is meant
  // to be run: where the platform keeps permission bits, it is executable.
  // Callers delete the name first. On Windows an existing file's content is
  // replaced; on POSIX a name that exists all the same (a file, a symbolic
  // link, anything) is a failure, so nothing is ever written through a link
  // planted there. Null on failure.
  virtual std::unique_ptr<OutputFile> Create(const std::u16string& path) = 0;

  // Renames from to to, replacing an existing file at to. False when the
  // move cannot happen now (for example the target is in use).
  virtual bool MoveReplacing(const std::u16string& from, const std::u16string& to) = 0;

  // Arranges for the same move to happen when the system next starts. False
  // when it could not be arranged, or the platform has no such facility.
  virtual bool MoveAtNextRestart(const std::u16string& from, const std::u16string& to) = 0;
};

// The file operations of the platform the program was built for.
std::unique_ptr<FilePlacement> NewPlatformFilePlacement();

#endif  // TOOLS_ORVIKINSTALLSERVICE_FILEPLACEMENT_H_
