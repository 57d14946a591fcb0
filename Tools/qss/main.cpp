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

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
#ifdef _WIN32
  _setmode(_fileno(stdout), 0x8000 /* _O_BINARY */);
#endif
  qss::ToolContext context{std::cout, std::cerr};
  context.progress = QSS_ISATTY(QSS_FILENO(stderr)) != 0;
  context.outIsTerminal = QSS_ISATTY(QSS_FILENO(stdout)) != 0;
  const qss::Arguments args(argv + 1, argv + argc);
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
