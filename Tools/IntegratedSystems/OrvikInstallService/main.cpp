#include <cstdio>

int main() {
  std::fputs("OrvikInstallService: installer not built yet\n", stdout);
  return 0;
}
