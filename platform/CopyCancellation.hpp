#pragma once

// Cancelling the process's file copies (fileManager::copyItem) from another thread: a share that
// ends while a long recording is still being copied must not wait for the copy's end.
//
// A copy looks between chunks (1 MiB in the kernel, 128 KiB through its buffer) and, while it
// waits on a pipe, at once: cancelled, it fails with ECANCELED and leaves nothing behind, as any
// failed copy. A clone (FICLONE) is one step and ends as it would have. Any thread.
namespace platform::copyCancellation {

// Ends every copy under way, and fails every later one at its start, until reset().
void cancelAll();

// Lets copies run again: for a program that goes on after cancelling one batch of copies.
void reset();

// True between cancelAll() and reset().
bool isCancelled();

// A descriptor that polls readable while cancelled, for waiting on a pipe and on cancellation
// together; -1 where the system could make none (then look at isCancelled() now and then).
// Never closed.
int wakeDescriptor();

}  // namespace platform::copyCancellation
