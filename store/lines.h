// Multi-line record values (permission, IP and client-limit lists) are one text value whose
// lines are separated by a line feed. A carriage return also ends a line, and CR LF counts as
// one line end, so values edited by hand on another system read the same.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qorda::store {

// The lines of a multi-line value, as views into `text` (so a caller can find a line's offset
// as line.data() - text.data()). Empty lines in the middle are kept; the empty remainder after
// the final line end is not a line.
std::vector<std::string_view> split_lines(std::string_view text);

// Joins lines into the stored form: every line followed by one line feed.
std::string join_lines(const std::vector<std::string>& lines);

}  // namespace qorda::store
