// Measures what one recv call costs: connects to HOST:PORT, receives BYTES
// in pieces of at most PIECE bytes (as the session client does with 1024),
// and prints the calls made, microseconds per call and MB/s.
//
//   recv_cost HOST PORT BYTES PIECE
//
// Built by bench/session_bench.sh with the cross compiler; Windows only.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: recv_cost HOST PORT BYTES PIECE\n");
    return 2;
  }
  long long total = atoll(argv[3]);
  int piece = atoi(argv[4]);
  if (total <= 0 || piece <= 0 || piece > (1 << 20)) return 2;
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in target = {};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<u_short>(atoi(argv[2])));
  target.sin_addr.s_addr = inet_addr(argv[1]);
  if (connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    fprintf(stderr, "recv_cost: connect failed (%d)\n", WSAGetLastError());
    return 1;
  }
  char* buffer = static_cast<char*>(malloc(static_cast<size_t>(piece)));
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  long long received = 0, calls = 0;
  while (received < total) {
    long long left = total - received;
    int n = recv(s, buffer, left < piece ? static_cast<int>(left) : piece, 0);
    calls++;
    if (n <= 0) break;
    received += n;
  }
  QueryPerformanceCounter(&end);
  closesocket(s);
  double us = static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 /
              static_cast<double>(frequency.QuadPart);
  printf("piece %d: %lld bytes in %lld calls, %.1f us per call, %.2f MB/s\n", piece, received,
         calls, us / static_cast<double>(calls), static_cast<double>(received) / us);
  free(buffer);
  WSACleanup();
  return received == total ? 0 : 1;
}
