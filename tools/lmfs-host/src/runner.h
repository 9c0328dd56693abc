// Running a script of operations on one driver object, one result line per
// operation on standard output, on one thread or on several.
//
// With several threads the script runs in sections: each run of operations
// that take shared access (the rows of operations() marked Access::Shared) is
// a section that every thread runs whole, all threads released together; an
// operation that changes the driver (marked Access::Exclusive) waits until
// every thread has finished the section before it, and runs alone on the main
// thread.
// Each result line then carries the thread (1..N, 0 for the main thread) and
// its sequence number within that thread's run (1..); lines are never
// interleaved.
#pragma once

#include <vector>

#include "script.h"

namespace lmfs::host {

struct RunOptions {
  bool echo = false;       // print "> op args" before each operation (each section's once)
  unsigned threads = 1;    // 1: in order, on this thread
  bool resources = false;  // end with a line naming what the operations left behind
};

// True for the operations a host may call on one object from several
// threads at once, as their row of operations() says.
[[nodiscard]] bool takes_shared_access(const Op& op);

// Runs the operations. With `resources`, a last line
// {"op":"resources","descriptors":[...],"mappings":[...],"children":N}
// names the descriptors and file mappings that are open after the last
// operation but were not before the first, and the children left behind
// (children_left()).
void run_script(DriverObject& object, const std::vector<Op>& ops, const RunOptions& options);

// How many children this process has, still running or ended and not yet
// reaped; the ended ones are reaped.
[[nodiscard]] int children_left();

}  // namespace lmfs::host
