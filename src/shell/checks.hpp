// Invariants the shell's unchecked reads rely on, and counts of the fast paths
// taken and refused. Both exist only in checked builds (the sanitizer build and
// Debug builds, which define CORLITH_CHECKED); release builds pay nothing.
#pragma once

#include <Python.h>

// An invariant a read without a check relies on: `why` says who guarantees it.
#ifdef CORLITH_CHECKED
#define SHELL_INVARIANT(cond, why) \
  ((cond) ? (void)0 : ::shell::detail::invariant_failed(#cond, why, __FILE__, __LINE__))
#else
#define SHELL_INVARIANT(cond, why) ((void)0)
#endif

namespace shell {

// The fast paths whose use is counted, so that a change that silently stops
// taking one shows up (as the host's specialisation statistics show it).
enum class Fast : unsigned char {
  attribute,     // an attribute read or written in the instance's inline values
  method_proof,  // a method call proven to reach our own function without a lookup
  dict_read,     // a dict read as a table of exact str keys
  comparison,    // a comparison of plain values without a call
  arithmetic,    // arithmetic on exact floats or word-sized ints
  snapshot,      // a keyed dict written in place into a copy of its table
  count_,
};

namespace detail {
#ifdef CORLITH_CHECKED
[[noreturn]] void invariant_failed(const char* cond, const char* why, const char* file, int line) noexcept;
void count_taken(Fast path) noexcept;
void count_refused(Fast path, const char* reason) noexcept;
// The counts since the last call, by path name: {"taken": n, <reason>: n, ...};
// resets them. Published as sys._corlith_fast_paths[<module short name>].
bool publish_fast_path_counts(const char* module);
#else
inline void count_taken(Fast) noexcept {}
inline void count_refused(Fast, const char*) noexcept {}
inline bool publish_fast_path_counts(const char*) { return true; }
#endif
}  // namespace detail

// A fast path was taken; refused, for a reason (a string literal).
inline void taken(Fast path) noexcept { detail::count_taken(path); }
inline void refused(Fast path, const char* reason) noexcept { detail::count_refused(path, reason); }

}  // namespace shell
