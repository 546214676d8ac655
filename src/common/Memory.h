#pragma once

namespace quorvel {

// Sets the allocator up for a program that runs for days with a small, steady working set
// and a few large short-lived blocks (frames, overlay pictures): large blocks are always
// mapped on their own, so that freeing one gives it back at once (glibc otherwise raises
// that threshold after each such free and keeps later ones in its pools), and the threads
// share two pools rather than one each. Call it first thing in main().
void configureAllocator();

// Gives the memory that the allocator keeps after it was freed back to the system. glibc
// keeps freed blocks in its pools (each thread that allocated has a pool of its own) and
// returns little of them by itself: after a large piece of one-off work (the pose model's
// load, the end of monitoring) the process would keep the high-water mark of that work for
// good. It takes a few milliseconds: call it after such work, never per frame.
void returnFreedMemory();

} // namespace quorvel
