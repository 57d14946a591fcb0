#include <cstdio>

int main() {
  std::fputs("usage: qss COMMAND [OPTIONS]\n", stderr);
  return 2;
}
