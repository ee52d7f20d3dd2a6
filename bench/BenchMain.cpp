// kelpword-bench NAME [ARGS…]: runs one measured comparison against a standard tool.
#include <cstdio>
#include <cstring>

#include "bench/Benchmarks.hpp"

namespace {

struct Benchmark {
  const char* name;
  int (*run)(int, char**);
  const char* what;
};

constexpr Benchmark benchmarks[] = {
    {"copy", runCopyBenchmark, "copyIn of a large file against cp; 1,000 copies under one name"},
    {"import", runImportBenchmark, "importing many small files offered by location against cp"},
    {"naming", runNamingBenchmark, "importing 100 and 10,000 items of one name: the cost per item"},
    {"portal", runPortalBenchmark,
     "sharing a large recording in the document portal against cp of its path"},
    {"reflink", runReflinkBenchmark, "copyIn of a large file against cp where extents are shared"},
    {"share", runShareBenchmark, "sharing one small file without a display against cp"},
    {"sweep", runSweepBenchmark, "sweeping old per-share folders against find … -exec rm -rf"},
    {"window", runWindowBenchmark,
     "sharing one small file with its window against a bare GTK 4 window's first frame"},
};

int usage() {
  std::fputs("usage: kelpword-bench NAME [ARGS…]\n", stderr);
  for (const auto& benchmark : benchmarks)
    std::fprintf(stderr, "  %-8s %s\n", benchmark.name, benchmark.what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const auto& benchmark : benchmarks) {
    if (std::strcmp(argv[1], benchmark.name) == 0) return benchmark.run(argc - 2, argv + 2);
  }
  return usage();
}
