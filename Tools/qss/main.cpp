// qss: the command-line tool for Quorell Structured Storage containers.

#include <cstdio>
#include <exception>
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
#include "TextCodec.h"

namespace {

int RunProgram(const qss::Arguments& args) {
  std::ios::sync_with_stdio(false);
#ifdef _WIN32
  _setmode(_fileno(stdout), 0x8000 /* _O_BINARY */);
#endif
  qss::ToolContext context{std::cout, std::cerr};
  context.progress = QSS_ISATTY(QSS_FILENO(stderr)) != 0;
  context.outIsTerminal = QSS_ISATTY(QSS_FILENO(stdout)) != 0;
  int code = qss::kExitFailure;
  try {
    code = qss::RunQss(args, context);
  } catch (const std::bad_alloc&) {
    // The library allocates what a container's fields ask for; a damaged
    // one can ask for more memory than there is.
    std::cout.flush();
    std::cerr << "\nqss: out of memory\n";
    return qss::kExitFailure;
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "\nqss: " << error.what() << '\n';
    return qss::kExitFailure;
  }
  std::cout.flush();
  return code;
}

}  // namespace

#ifdef _WIN32
// The wide command line carries every character of a path; the narrow one
// only those of the ANSI code page. The commands take UTF-8.
int wmain(int argc, wchar_t** argv) {
  qss::Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view wide(argv[i]);
    args.push_back(qss::Utf16ToUtf8(std::u16string(wide.begin(), wide.end())));
  }
  return RunProgram(args);
}
#else
int main(int argc, char** argv) { return RunProgram(qss::Arguments(argv + 1, argv + argc)); }
#endif
