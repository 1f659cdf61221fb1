#pragma once
// One call at the start of every run, before the run writes anything. The
// shipped program's is empty (StartupHook.cpp, linked into it alone); the
// test programs link their own, which counts disk changes for the
// crash-safety sweep and lets the tests reach the last-resort handlers.
#include <string>
#include <vector>

namespace orv {

void RunStartupHook(const std::vector<std::wstring>& arguments);

} // namespace orv
