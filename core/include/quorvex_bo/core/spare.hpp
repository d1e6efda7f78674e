#pragma once
// A spare text buffer each thread keeps from call to call, for the one text a
// call decodes whole (the body of a gateway answer or of a notification, which
// may be megabytes of image). Reusing its memory spares an allocation, and for
// a large text the page faults of fresh memory; it holds no data that a later
// call reads (a taken buffer is empty). Buffers of at most `spare::kept_bytes`
// are kept.

#include <cstddef>
#include <string>

namespace quorvex_bo::spare {

inline constexpr std::size_t kept_bytes = 16 << 20;
// Any string this long also goes into the spare buffer; a string read from a
// shorter rest of text is unescaped through the scratch buffer.
inline constexpr std::size_t large_bytes = 64 << 10;

// The thread's spare buffer, emptied (or a new empty string when there is none).
std::string take();
// Keeps `text`'s memory as the thread's spare buffer when it is larger than the
// one kept and within the bound; otherwise lets it go.
void keep(std::string&& text);

// The thread's scratch buffer for strings read from a short rest of text (below
// `large_bytes`): a function fills it and reads it before it returns, and no
// later call reads what it held.
std::string& scratch();

}  // namespace quorvex_bo::spare
