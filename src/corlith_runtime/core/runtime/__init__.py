"""Core support layer of the agent-workflow runtime (compiled modules)."""
