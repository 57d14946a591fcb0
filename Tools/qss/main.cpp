// qss: the command-line tool for Quorell Structured Storage containers.
//
// The only file of the tool that knows the operating system's process
// services: terminals, signals and the raw descriptors a signal handler may
// still use.

#include <csignal>
#include <cstdio>
#include <exception>
#include <iterator>
#include <iostream>
#include <new>

#ifdef _WIN32
#include <io.h>
#define QSS_ISATTY _isatty
#define QSS_FILENO _fileno
#else
#include <unistd.h>
#define QSS_ISATTY isatty
#define QSS_FILENO fileno
#endif

#include "Commands.h"
#include "qss/NativeFile.h"
#include "TextCodec.h"

using namespace qss;

namespace {

// Everything the interrupt handler reads is in place before it is
// installed, and it calls only functions that are safe in a signal handler:
// unlink (on Windows, where the handler runs on a thread of its own, the
// run-time's _wunlink), write, signal and raise.
const qss_tool::InterruptCleanup::TemporaryFiles* volatile g_files = nullptr;
const std::string* volatile g_interrupted = nullptr;
// 0: an interrupt acts at once; 1: every one is held back; 2: the first one
// is held back.
volatile std::sig_atomic_t g_deferred = 0;
volatile std::sig_atomic_t g_pending = 0;

void WriteToStandardError(const std::string* text) {
  if (text == nullptr) return;
#ifdef _WIN32
  const int written = _write(2, text->data(), static_cast<unsigned>(text->size()));
#else
  const ssize_t written = write(2, text->data(), text->size());
#endif
  (void)written;  // nothing more can be done about a lost message here
}

void EndAsTheSignalWould(int signal) {
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

extern "C" void OnInterrupt(int signal) {
  if (g_deferred == 1 || (g_deferred == 2 && g_pending == 0)) {
    g_pending = signal;
    return;
  }
  if (const auto* files = g_files) {
    for (auto* file = files->load(); file != nullptr; file = file->next) {
#ifdef _WIN32
      _wunlink(file->path.c_str());
#else
      unlink(file->path.c_str());
#endif
    }
  }
  WriteToStandardError(g_interrupted);
  // On POSIX the signal stays blocked until the handler returns, and then
  // takes its default action.
  EndAsTheSignalWould(signal);
}

#ifdef _WIN32
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGBREAK};
#else
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
#endif

class ProgramInterrupts final : public qss_tool::InterruptCleanup {
 public:
  void Arm(const TemporaryFiles* files, const std::string& interrupted, const std::string& late) override {
    g_files = files;
    g_interrupted = &interrupted;
    late_ = &late;
    g_deferred = 0;
    g_pending = 0;
    for (std::size_t i = 0; i < std::size(kInterrupts); ++i) {
#ifdef _WIN32
      previous_[i] = std::signal(kInterrupts[i], OnInterrupt);
#else
      struct sigaction action {};
      action.sa_handler = OnInterrupt;
      sigemptyset(&action.sa_mask);
      for (const int other : kInterrupts) sigaddset(&action.sa_mask, other);
      sigaction(kInterrupts[i], &action, &previous_[i]);
#endif
    }
  }

  void Defer() override { g_deferred = 1; }

  void DeferFirst() override { g_deferred = 2; }

  bool Pending() const override { return g_pending != 0; }

  void Disarm() override {
    for (std::size_t i = 0; i < std::size(kInterrupts); ++i) {
#ifdef _WIN32
      std::signal(kInterrupts[i], previous_[i]);
#else
      sigaction(kInterrupts[i], &previous_[i], nullptr);
#endif
    }
    g_files = nullptr;
    g_interrupted = nullptr;
    g_deferred = 0;
    if (const int signal = g_pending) {
      g_pending = 0;
      std::cout.flush();
      WriteToStandardError(late_);
      EndAsTheSignalWould(signal);
    }
  }

 private:
  const std::string* late_ = nullptr;
#ifdef _WIN32
  void (*previous_[std::size(kInterrupts)])(int) = {};
#else
  struct sigaction previous_[std::size(kInterrupts)] {};
#endif
};

int RunProgram(const qss_tool::Arguments& args) {
  // A container of many segment files holds one file open for each.
  native_file::RaiseOpenFileLimit();
  std::ios::sync_with_stdio(false);
#ifdef _WIN32
  _setmode(_fileno(stdout), 0x8000 /* _O_BINARY */);
#else
  // Past the file size limit a write then fails (EFBIG) and is reported
  // like any other failed write, instead of the signal ending the process
  // with a half-written file.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  ProgramInterrupts interrupts;
  qss_tool::ToolContext context{std::cout, std::cerr};
  context.progress = QSS_ISATTY(QSS_FILENO(stderr)) != 0;
  context.outIsTerminal = QSS_ISATTY(QSS_FILENO(stdout)) != 0;
  context.interrupts = &interrupts;
#ifndef _WIN32
  if (native_file::HandleIsRegularFile(STDOUT_FILENO)) context.outFile = STDOUT_FILENO;
#endif
  int code = qss_tool::kExitFailure;
  try {
    code = qss_tool::RunQss(args, context);
  } catch (const std::bad_alloc&) {
    // The library allocates what a container's fields ask for; a damaged
    // one can ask for more memory than there is.
    std::cout.flush();
    std::cerr << "\nqss: out of memory\n";
    return qss_tool::kExitFailure;
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "\nqss: " << error.what() << '\n';
    return qss_tool::kExitFailure;
  }
  return code;
}

}  // namespace

#ifdef _WIN32
// The wide command line carries every character of a path; the narrow one
// only those of the ANSI code page. The commands take UTF-8.
int wmain(int argc, wchar_t** argv) {
  qss_tool::Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view wide(argv[i]);
    args.push_back(qss_tool::Utf16ToUtf8(std::u16string(wide.begin(), wide.end())));
  }
  return RunProgram(args);
}
#else
int main(int argc, char** argv) { return RunProgram(qss_tool::Arguments(argv + 1, argv + argc)); }
#endif
