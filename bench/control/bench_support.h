// What the control benchmarks share: a temporary directory, the driver's
// store prepared as installation leaves it, a drive K with a folder and a
// mapping to ask about, and the request loops measured. The benchmarks count
// real (wall-clock) time: a request's cost is mostly its registry commit,
// which CPU time of the calling thread alone does not show.
#pragma once

#include "common/driver_client.h"

#include <benchmark/benchmark.h>

#include <string>

namespace korin::control_bench {

// A directory made for the run and removed with everything in it.
std::string MakeTempDir(const char* prefix);
void RemoveDir(const std::string& dir);

// Creates the Drive key with "NextInstance" 0 through the registry functions
// (of this process, or of the connected host).
void PrepareDriveKey();

// With the driver running and handle open on its control device: drive K
// (folder K:\Docs, mapping K:\Docs\a.txt) for the loops below.
void PrepareDrive(HANDLE device);

// One iteration: create the mapping K:\Docs\m<n>, then delete it. Items are
// create-mapping requests.
void CreateThenDelete(benchmark::State& state, HANDLE device);
// One iteration: create K:\Work<k>\m<n>; every state.range(0) mappings the
// folder is deleted outside the timing and a new one begun, so the argument
// is the size the folder grows to. Names come in ascending order, as a batch
// of sorted files would.
void CreateOnly(benchmark::State& state, HANDLE device);
// One iteration: the item type of K:\Docs\a.txt.
void QueryItemTypeLatency(benchmark::State& state, HANDLE device);

}  // namespace korin::control_bench
