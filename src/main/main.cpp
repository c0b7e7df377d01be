#include <cstdio>

int main() {
  std::puts("Noctra 0.7.0");
  return 0;
}
