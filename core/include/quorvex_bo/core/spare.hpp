#pragma once
// A spare text buffer each thread keeps from call to call, for the one large
// text a call decodes (the body of a gateway answer, which may be megabytes of
// image). Reusing its memory spares the page faults of fresh memory; it holds
// no data that a later call reads (a taken buffer is empty). Buffers of at most
// `spare::kept_bytes` are kept.

#include <cstddef>
#include <string>

namespace quorvex_bo::spare {

inline constexpr std::size_t kept_bytes = 16 << 20;
// Texts shorter than this are not worth a spare buffer.
inline constexpr std::size_t large_bytes = 64 << 10;

// The thread's spare buffer, emptied (or a new empty string when there is none).
std::string take();
// Keeps `text`'s memory as the thread's spare buffer when it is large and within
// the bound; otherwise lets it go.
void keep(std::string&& text);

// The thread's scratch buffer for short texts (below `large_bytes`), which a
// function fills and reads before it returns; nothing is kept in it for later.
std::string& scratch();

}  // namespace quorvex_bo::spare
