// Failure classification of a dead run from its envelope data.
#include "shell/shell.hpp"

namespace {
using namespace shell;

// Bodies, defined below the table.
Ref classify_failure(Args& a);

const Module exit_triage{
    .name = "exit_triage",
    .doc = "Pure failure classification algorithm.\n\n"
           "This module contains the algorithmic logic for classifying workflow failures\n"
           "based on envelope data. It has NO external dependencies (no Redis, Django, etc.)\n"
           "and can be used by both runtime defaults and infra's production recovery.\n\n"
           "Usage:\n"
           "    from corlith_runtime.core.runtime.exit_triage import classify_failure\n\n"
           "    reason = classify_failure(envelope_data)\n"
           "    # Returns: \"terminated_by_signal\", \"suspected_oom\", \"abnormal_exit\", or \"unknown\"\n",
    .body = {
        Def{.name = "classify_failure", .line = 15,
            .params = {arg("envelope_data", "dict")}, .returns = "str",
            .doc = "Classify a workflow failure based on envelope data.\n\n"
                   "    Analyzes the envelope's last event and memory usage to determine\n"
                   "    the likely cause of failure.\n\n"
                   "    Args:\n"
                   "        envelope_data: Dict containing envelope state, typically with keys like:\n"
                   "            - last_event: str, the last recorded event (e.g., \"signal_SIGTERM\")\n"
                   "            - memory_rss_mb: int/str, resident memory in MB at failure time\n\n"
                   "    Returns:\n"
                   "        A classification string:\n"
                   "        - \"terminated_by_signal\": Process received a signal (SIGTERM, SIGKILL, etc.)\n"
                   "        - \"suspected_oom\": High memory usage suggests OOM killer\n"
                   "        - \"abnormal_exit\": Process exited abnormally without clear cause\n"
                   "        - \"unknown\": No envelope data available\n"
                   "    ",
            .body = classify_failure,
            .locals = {"last_event", "memory_mb"}},
    },
};

// ---- bodies ----------------------------------------------------------------------------

Name last_event_key("last_event"), memory_key("memory_rss_mb"), startswith("startswith"),
    signal_prefix("signal_"), empty("");
Name unknown("unknown"), terminated_by_signal("terminated_by_signal"), suspected_oom("suspected_oom"),
    abnormal_exit("abnormal_exit");

// int(envelope_data.get("memory_rss_mb", 0)) > 0
bool memory_above_zero(Obj envelope_data) {
  Ref reading;
  if (!get_item(envelope_data, memory_key, reading)) reading = integer(0);
  Ref memory_mb = PyLong_CheckExact(reading.get()) ? reading : checked(PyNumber_Long(reading.get()));
  return positive(memory_mb);
}

// last_event.startswith("signal_") by host truth; a plain str answers directly.
bool signal_recorded(Obj last_event) {
  if (PyUnicode_CheckExact(last_event)) return PyUnicode_Tailmatch(last_event, signal_prefix, 0, PY_SSIZE_T_MAX, -1);
  return truth(call_method(last_event, startswith, signal_prefix));
}

Ref classify_failure(Args& a) {
  PyObject* envelope_data = a[0];
  SHELL_INVARIANT(PyDict_CheckExact(envelope_data), "the binder tested 'dict'");
  if (PyDict_GET_SIZE(envelope_data) == 0) return Ref::borrow(unknown);
  Ref last_event;
  if (!get_item(envelope_data, last_event_key, last_event)) last_event = Ref::borrow(empty);
  if (signal_recorded(last_event)) return Ref::borrow(terminated_by_signal);
  try {
    if (memory_above_zero(envelope_data)) return Ref::borrow(suspected_oom);
  } catch (const HostError&) {
    // An unreadable memory reading is no evidence of an OOM kill.
    if (!error_is(PyExc_ValueError) && !error_is(PyExc_TypeError)) throw;
    PyErr_Clear();
  }
  return Ref::borrow(abnormal_exit);
}

}  // namespace

PyMODINIT_FUNC PyInit_exit_triage() { return define(exit_triage); }
