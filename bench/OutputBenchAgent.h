// A supervisor of the demo agent for the output benchmark.
#pragma once

#include <string>

// Starts a supervisor (relaunching at once past 200 ms, two older files
// kept); null when the first launch fails.
void* StartBenchAgent(const std::wstring& commandLine, bool bOutput, const std::wstring& folder,
                      unsigned long long rotateBytes);
// Stops it as the service's stop does and ends it.
void StopBenchAgent(void* supervisor);
// Launches the line `count` + 1 times, one after the other, each with the
// supervisor's output capture and nothing else of its work; false when a
// launch fails.
bool RunPipeFloor(const std::wstring& commandLine, const std::wstring& folder, unsigned long long rotateBytes,
                  unsigned count);
