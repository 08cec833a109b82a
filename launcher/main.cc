#include <malloc.h>

#include "launcher/launch.h"

int main(int argc, char** argv) {
  // Unpacking many small files frees and allocates the same few small blocks over and over:
  // the heap keeps what is freed (up to 4 MiB at its top) instead of handing it back to the
  // system and faulting fresh pages in for the next file, and blocks below 1 MiB come from the
  // heap rather than from a mapping of their own.
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  return run_launch(argc, argv);
}
