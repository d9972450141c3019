// Renames FROM to TO and back, as another program may while treeinv reads the file. Exits with the Windows error of
// the rename that failed, 0 when both succeeded.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    return ERROR_BAD_ARGUMENTS;
  }
  if (!MoveFileExA(argv[1], argv[2], 0) || !MoveFileExA(argv[2], argv[1], 0)) {
    return static_cast<int>(GetLastError());
  }
  return 0;
}
