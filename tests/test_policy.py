"""Policy provider protocol and its no-op default."""

import pickle
import types

import pytest

from corlith_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider


class _Inherits(PolicyProvider):
    pass


class _Structural:
    def get_runtime_configs(self):
        return {"budget": {}}

    def get_policy(self, name):
        return {}


NAMES = ["", "budget", "rate_limit.tools", "ünïcødé", "\ud800", "x" * 100_000]


@pytest.mark.parametrize("name", NAMES, ids=lambda n: repr(n)[:20])
def test_noop_get_policy_has_no_policies(name, no_leak):
    provider = NoOpPolicyProvider()
    first, second = provider.get_policy(name), provider.get_policy(name)
    assert type(first) is dict and first == {} and second == {} and first is not second
    first["limit"] = 1
    assert second == {} and provider.get_policy(name) == {}
    assert NoOpPolicyProvider().get_policy(name) == {}
    no_leak(lambda: provider.get_policy(name))


def test_noop_runtime_configs_are_empty_and_owned_by_the_caller(no_leak):
    provider = NoOpPolicyProvider()
    first, second = provider.get_runtime_configs(), provider.get_runtime_configs()
    assert type(first) is dict and first == {} and second == {} and first is not second
    first["budget"] = {"cap": 1}
    assert second == {} and provider.get_runtime_configs() == {}
    no_leak(provider.get_runtime_configs)


PROTOCOL_BODIES = [
    lambda: _Inherits().get_runtime_configs(),
    lambda: _Inherits().get_policy("budget"),
    lambda: _Inherits().get_policy(name=""),
    lambda: PolicyProvider.get_runtime_configs(object()),
    lambda: PolicyProvider.get_policy(None, "budget"),  # self is never tested
]


@pytest.mark.parametrize("call", PROTOCOL_BODIES)
def test_protocol_bodies_return_none(call, no_leak):
    assert call() is None
    no_leak(call)


CONFORMANCE = [
    (NoOpPolicyProvider(), True),
    (_Inherits(), True),
    (_Structural(), True),
    (types.SimpleNamespace(get_runtime_configs=dict, get_policy=dict), True),
    (types.SimpleNamespace(get_policy=dict), False),
    (types.SimpleNamespace(get_runtime_configs=dict), False),
    (object(), False),
    ({}, False),
]


@pytest.mark.parametrize("candidate, conforms", CONFORMANCE)
def test_isinstance_is_structural(candidate, conforms):
    assert isinstance(candidate, PolicyProvider) is conforms


def test_noop_conforms_without_inheriting():
    assert PolicyProvider not in NoOpPolicyProvider.__mro__
    assert issubclass(NoOpPolicyProvider, PolicyProvider)
    assert issubclass(_Structural, PolicyProvider)
    assert not issubclass(dict, PolicyProvider)


def test_noop_is_created_without_arguments(no_leak):
    assert type(NoOpPolicyProvider()) is NoOpPolicyProvider
    with pytest.raises(TypeError, match=r"^NoOpPolicyProvider\(\) takes no arguments$"):
        NoOpPolicyProvider({})
    no_leak(lambda: NoOpPolicyProvider({}), raises=TypeError)


def test_noop_instances_pickle():
    clone = pickle.loads(pickle.dumps(NoOpPolicyProvider()))
    assert type(clone) is NoOpPolicyProvider and clone.get_policy("budget") == {}
