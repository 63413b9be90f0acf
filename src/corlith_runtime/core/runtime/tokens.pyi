"""Token semaphore protocol for admission control.

This module defines the interface for queue-based admission control.
Runtime provides an in-memory default; infra provides Redis-backed production implementation.
"""

from typing import Protocol, runtime_checkable

@runtime_checkable
class TokenSemaphore(Protocol):
    """Admission control for queue capacity.

    Implementations control how many concurrent executions can run per queue.
    The runtime uses this to throttle workflow execution.

    Default: InMemoryTokenSemaphore (single-process, thread-safe)
    Production: RedisTokenSemaphore (distributed, atomic via Lua scripts)
    """
    def try_acquire(self, queue: str) -> bool:
        """Atomically acquire a token from the queue.

        Args:
            queue: The queue name (e.g., 'default', 'heavy')

        Returns:
            True if a token was acquired, False if none available.
        """
    def release(self, queue: str) -> None:
        """Release a token back to the queue.

        Args:
            queue: The queue name
        """
    def set_capacity(self, queue: str, count: int) -> None:
        """Set the total capacity for a queue.

        Args:
            queue: The queue name
            count: The maximum number of concurrent tokens
        """
