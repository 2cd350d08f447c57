#pragma once

namespace corvane {

// How the app asks glibc's malloc to hand memory back. By default malloc raises its threshold for mapping a
// block of its own each time such a block is freed, so after the first stream every large buffer (decoded
// pictures, upload and decoder pools, sized per opening) comes from the heaps of whichever threads made it,
// and what they leave behind is kept: the resident size then grows with every opening, reconnect and restart
// of a long run while the memory in use stays flat. Fixing the threshold keeps large blocks in mappings of
// their own, returned whole when freed.
namespace AllocatorPolicy {

// Blocks of at least this size are mapped on their own: above any text, message or packet the app keeps,
// below a picture's plane.
inline constexpr int kLargeBlockBytes = 128 * 1024;

// Call once at start-up, before the threads that stream begin. Does nothing where malloc is not glibc's.
void apply();

} // namespace AllocatorPolicy

} // namespace corvane
