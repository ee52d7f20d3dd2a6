#pragma once

#include <string>
#include <vector>

// How one run of a program went: its time, its own processor time and its peak memory.
struct ProcessRun {
  double seconds = 0;
  double cpuSeconds = 0;  // user and system: what the run itself cost, whatever else runs
  long peakKiB = 0;
  int status = -1;  // the exit code, or 128 + signal number
};

// Runs argv (argv[0] a path) to its end, timing it and reading its peak resident memory from the
// kernel. With `environment` ("NAME=value" each), the program gets that environment alone, and
// reads nothing and writes nothing: its standard streams are /dev/null.
ProcessRun timed(const std::vector<std::string>& argv);
ProcessRun timed(const std::vector<std::string>& argv, const std::vector<std::string>& environment);

// The middle of `values` (the mean of the two middle ones for an even count): the figure each
// benchmark reports, which one disturbed run does not move. `values` must not be empty.
double median(std::vector<double> values);
