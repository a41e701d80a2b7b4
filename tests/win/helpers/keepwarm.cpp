// Keeps Wine's services up while CTest runs (ended by PID by the test
// fixture; it also ends by itself after half an hour, so it never lingers).
#include <windows.h>

int main() {
  Sleep(30 * 60 * 1000);
  return 0;
}
