// Policy provider: read access to policy configuration, with a default that has none.
#include "shell/shell.hpp"

namespace {
using namespace shell;

// Bodies, defined below the table.
Ref no_policies(Args&);

const Module policy{
    .name = "policy",
    .doc = "Policy provider protocol for runtime policy configuration.\n\n"
           "This module defines the interface for accessing policy configurations.\n"
           "Runtime provides no-op default; infra provides Django-model-backed policies.\n",
    .body = {
        FromImport{"typing", {"Any", "Dict", "Protocol", "runtime_checkable"}},
        protocol("PolicyProvider",
                 "Provides policy configurations at runtime.\n\n"
                 "    Implementations provide access to policy rules and configurations\n"
                 "    that govern workflow execution.\n\n"
                 "    Default: NoOpPolicyProvider (returns empty config)\n"
                 "    Production: PolicyRegistry (Django model-backed)\n"
                 "    ",
                 {
                     {.name = "get_runtime_configs", .line = 21, .returns = "Dict[str, Any]",
                      .doc = "Get all active policy configurations.\n\n"
                             "        Returns:\n"
                             "            Dict mapping policy names to their configurations\n"
                             "        "},
                     {.name = "get_policy", .line = 29,
                      .params = {arg("name", "str")}, .returns = "Dict[str, Any]",
                      .doc = "Get a specific policy configuration.\n\n"
                             "        Args:\n"
                             "            name: The policy name\n\n"
                             "        Returns:\n"
                             "            The policy configuration dict, or empty dict if not found\n"
                             "        "},
                 }),
        plain_class("NoOpPolicyProvider",
                    "No-op policy provider for standalone runtime.\n\n"
                    "    Returns empty configurations. All execution is allowed.\n"
                    "    Useful for local development and testing without governance.\n"
                    "    ",
                    {
                        {.name = "get_runtime_configs", .line = 48, .returns = "Dict[str, Any]",
                         .body = no_policies},
                        {.name = "get_policy", .line = 51,
                         .params = {arg("name", "str")}, .returns = "Dict[str, Any]",
                         .body = no_policies},
                    }),
    },
};

// ---- bodies ----------------------------------------------------------------------------

// Every call hands out a dict of its own, so callers may mutate it freely.
Ref no_policies(Args&) { return new_dict(); }

}  // namespace

PyMODINIT_FUNC PyInit_policy() { return define(policy); }
