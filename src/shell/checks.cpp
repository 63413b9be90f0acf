// Checked builds only: the invariant failure report and the fast-path counts.
#include "shell/checks.hpp"

#ifdef CORLITH_CHECKED

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "shell/ref.hpp"

namespace shell::detail {
namespace {

constexpr int kPaths = static_cast<int>(Fast::count_);
constexpr int kReasons = 8;
const char* const kPathNames[] = {"attribute", "method_proof", "dict_read", "comparison", "arithmetic", "snapshot"};
static_assert(std::size(kPathNames) == kPaths, "a name for every counted path");

struct Counts {
  unsigned long long taken = 0;
  const char* reason[kReasons] = {};
  unsigned long long refused[kReasons] = {};
};
Counts counts[kPaths];

PyObject* report(PyObject*, PyObject*) noexcept {
  Ref all(PyDict_New());
  if (!all) return nullptr;
  for (int p = 0; p < kPaths; ++p) {
    Ref one(PyDict_New()), taken(PyLong_FromUnsignedLongLong(counts[p].taken));
    if (!one || !taken || PyDict_SetItemString(one.get(), "taken", taken.get()) < 0) return nullptr;
    for (int r = 0; r < kReasons && counts[p].reason[r]; ++r) {
      Ref n(PyLong_FromUnsignedLongLong(counts[p].refused[r]));
      if (!n || PyDict_SetItemString(one.get(), counts[p].reason[r], n.get()) < 0) return nullptr;
    }
    if (PyDict_SetItemString(all.get(), kPathNames[p], one.get()) < 0) return nullptr;
  }
  for (Counts& c : counts) c = Counts();
  return all.release();
}

PyMethodDef report_def = {"fast_path_counts", report, METH_NOARGS,
                          "The fast paths taken and refused since the last call, by reason; resets them."};

}  // namespace

void invariant_failed(const char* cond, const char* why, const char* file, int line) noexcept {
  std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", file, line, cond, why);
  std::abort();
}

void count_taken(Fast path) noexcept { ++counts[static_cast<int>(path)].taken; }

void count_refused(Fast path, const char* reason) noexcept {
  Counts& c = counts[static_cast<int>(path)];
  for (int r = 0; r < kReasons; ++r) {
    if (!c.reason[r]) c.reason[r] = reason;
    if (c.reason[r] == reason || std::strcmp(c.reason[r], reason) == 0) {
      ++c.refused[r];
      return;
    }
  }
  SHELL_INVARIANT(false, "a path is refused for at most kReasons reasons");
}

bool publish_fast_path_counts(const char* module) {
  PyObject* table = PySys_GetObject("_corlith_fast_paths");  // borrowed
  Ref made;
  if (!table) {
    made = Ref(PyDict_New());
    if (!made || PySys_SetObject("_corlith_fast_paths", made.get()) < 0) return false;
    table = made.get();
  }
  Ref report_function(PyCFunction_New(&report_def, nullptr));
  return report_function && PyDict_SetItemString(table, module, report_function.get()) == 0;
}

}  // namespace shell::detail

#endif
