#pragma once

// The world in which a benchmark runs kelpword-share, made inside a folder of the benchmark's own:
// a home read through nss_wrapper (never the real one) holding KelpWord's inbox, no display, no
// session bus, and the demonstration bundle's stand-in KelpWord, which records what it is asked to
// open.
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// The nss_wrapper library, or "" when it is not installed.
std::string nssWrapperLibrary();

// Makes the world's home, inbox and user database inside `world`.
void makeShareWorld(const std::filesystem::path& world);

// The environment of every run in the world ("NAME=value" each): PATH alone from ours, the
// world's home and folders, nss_wrapper preloaded.
std::vector<std::string> shareWorldEnvironment(const std::filesystem::path& world,
                                               const std::string& nssWrapper);

// KelpWord's inbox in the world's home.
std::filesystem::path inboxOf(const std::filesystem::path& world);

// Waits (untimed) until the stand-in KelpWord has recorded its `starts`th start, so that it has
// come and gone before the next run.
void awaitStandIn(const std::filesystem::path& world, std::size_t starts);

// One share of `source` by `program` (kelpword-share) in the world, timed in seconds; then,
// untimed, the wait for the stand-in KelpWord's `starts`th start and an empty inbox for the next.
// Throws where the share fails.
double timeShare(const std::string& program, const std::filesystem::path& world,
                 const std::vector<std::string>& environment, const std::string& source,
                 std::size_t starts);
