#pragma once
// What the machine offers the toolkit's threaded calls (RepackOptions::threads and the like).

namespace l3 {

// The processors this process may run on (taskset and cgroup CPU sets narrow them), at
// least 1.
int availableProcessors();

}  // namespace l3
