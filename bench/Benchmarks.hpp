#pragma once

// Each benchmark takes the arguments after its name and returns the process exit code.
int runCopyBenchmark(int argc, char** argv);
int runImportBenchmark(int argc, char** argv);
int runNamingBenchmark(int argc, char** argv);
int runPortalBenchmark(int argc, char** argv);
int runReflinkBenchmark(int argc, char** argv);
int runShareBenchmark(int argc, char** argv);
int runSweepBenchmark(int argc, char** argv);
int runWindowBenchmark(int argc, char** argv);
