#pragma once
// What the machine offers the toolkit's threaded calls (RepackOptions::threads and the like).

namespace l3 {

// The processors this process may run on (taskset and cgroup CPU sets narrow them), at
// least 1.
int availableProcessors();

// Lets a closed pipe surface as a write error instead of ending the process.
void ignoreBrokenPipeSignal();

}  // namespace l3
