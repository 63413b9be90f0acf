// Token semaphore protocol: the shape of per-queue admission control.
#include "shell/shell.hpp"

namespace {
using namespace shell;

const Module tokens{
    .name = "tokens",
    .doc = "Token semaphore protocol for admission control.\n\n"
           "This module defines the interface for queue-based admission control.\n"
           "Runtime provides an in-memory default; infra provides Redis-backed production implementation.\n",
    .body = {
        FromImport{"typing", {"Protocol", "runtime_checkable"}},
        protocol("TokenSemaphore",
                 "Admission control for queue capacity.\n\n"
                 "    Implementations control how many concurrent executions can run per queue.\n"
                 "    The runtime uses this to throttle workflow execution.\n\n"
                 "    Default: InMemoryTokenSemaphore (single-process, thread-safe)\n"
                 "    Production: RedisTokenSemaphore (distributed, atomic via Lua scripts)\n"
                 "    ",
                 {
                     {.name = "try_acquire", .line = 21,
                      .params = {arg("queue", "str")}, .returns = "bool",
                      .doc = "Atomically acquire a token from the queue.\n\n"
                             "        Args:\n"
                             "            queue: The queue name (e.g., 'default', 'heavy')\n\n"
                             "        Returns:\n"
                             "            True if a token was acquired, False if none available.\n"
                             "        "},
                     {.name = "release", .line = 32,
                      .params = {arg("queue", "str")}, .returns = "None",
                      .doc = "Release a token back to the queue.\n\n"
                             "        Args:\n"
                             "            queue: The queue name\n"
                             "        "},
                     {.name = "set_capacity", .line = 40,
                      .params = {arg("queue", "str"), arg("count", "int")}, .returns = "None",
                      .doc = "Set the total capacity for a queue.\n\n"
                             "        Args:\n"
                             "            queue: The queue name\n"
                             "            count: The maximum number of concurrent tokens\n"
                             "        "},
                 }),
    },
};

// The protocol's members have no bodies of their own: like `...` in Python they
// answer None, for a class that inherits them without overriding.

}  // namespace

PyMODINIT_FUNC PyInit_tokens() { return define(tokens); }
