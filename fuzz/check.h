// SPDX-License-Identifier: GPL-3.0-or-later
// What a fuzz target does when a property does not hold: says which, and aborts so that libFuzzer
// keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvane::fuzz {

[[noreturn]] inline void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "%s %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace korvane::fuzz

#define CHECK(cond, ...) \
  if (!(cond)) ::korvane::fuzz::Fail("check failed: " #cond __VA_OPT__(, ) __VA_ARGS__)
