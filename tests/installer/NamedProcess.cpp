// A process that calls itself argv[1] (its comm) and waits to be signalled.
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  prctl(PR_SET_NAME, argv[1], 0, 0, 0);
  for (;;) pause();
}
