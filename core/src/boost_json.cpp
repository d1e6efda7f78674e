// The compiled part of Boost.JSON (error categories, number parsing, the parts
// of the tokenizer that are not templates), kept in its own translation unit so
// that edits to the JSON layer do not recompile it.

#include <boost/json/src.hpp>
