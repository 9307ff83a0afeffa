#include <sys/resource.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cli/Cli.h"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // glibc gives every thread that allocates an arena of its own, and each
  // new arena reserves 64 MB of address space (asking for 128 MB first to
  // align it). Under an address-space limit that reservation can take the
  // room the memory budget left for the lists, so the worker threads share
  // the main arena there.
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    mallopt(M_ARENA_MAX, 1);
  }
#endif
  return karvello::RunCli(argc, argv);
}
