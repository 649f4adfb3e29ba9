#pragma once
// Ending a front end's process while a run may still be going on its own threads.

namespace run {

// Flushes every stdio stream and ends the process at once with `status`, without tearing down
// what running threads may still use; the files they write are flushed as they go.
[[noreturn]] void EndProcessNow(int status);

}  // namespace run
