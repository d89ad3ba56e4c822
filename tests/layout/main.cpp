// The layout checks are compile-time asserts in the other files of this folder; running the
// program only shows that the build that carries them succeeded.
#include <cstdio>

int main() {
  std::printf("layout checks: compiled for a %u-bit target\n", unsigned(sizeof(void*) * 8));
  return 0;
}
