#include "inventory.hpp"

// Arguments are ignored: the working directory is the program's only input.
int main() {
  return treeinv::run();
}
