"""biometric_keys.aio: the calls of biometric_keys as coroutine functions for asyncio.

Each has the name, parameters and result of the blocking call and runs it on a thread of
a dedicated pool, so that the event loop goes on. Cancelling the task (task.cancel(),
asyncio.timeout(), wait_for, a failing TaskGroup) cancels the platform's request through a
CancelToken, waits until the request has settled, and then raises CancelledError: after
that no prompt is up and nothing more is created or signed. A `cancel` token given to a
call is the one that the task's cancellation cancels (with every other call that shares
it); without one, each call has its own. A request that took effect
before it could be cancelled is not undone: the cancellation still propagates, as asyncio
requires, and a credential made that way is the one public_key returns.

The pool has up to MAX_THREADS threads, made as calls need them: that many requests can
wait for the user at once; more wait for a thread, and one cancelled while it waits is
cancelled at once. When the interpreter exits, the requests still running are cancelled,
so that exiting does not wait for the user.
"""

from __future__ import annotations

import concurrent.futures
import functools
import sys
import threading
from typing import TYPE_CHECKING, Any, Callable, Literal, TypeVar

if TYPE_CHECKING:
    from biometric_keys import Attestation, CancelToken

__all__ = ["public_key", "delete", "is_supported", "create", "sign", "availability", "verify_user", "attestation",
           "seal", "unseal", "MAX_THREADS"]

MAX_THREADS = 256

_T = TypeVar("_T")
_pool: concurrent.futures.ThreadPoolExecutor | None = None
_pool_lock = threading.Lock()
# The tokens of the calls that run on the pool now: cancelled when the interpreter exits,
# so that the pool's threads, which it waits for, are not kept by a prompt.
_running: set[Any] = set()


def _keys() -> Any:
    # The module of this interpreter, imported before this one.
    return sys.modules["biometric_keys"]


def _cancel_running() -> None:
    with _pool_lock:
        tokens = list(_running)
    for token in tokens:
        token.cancel()


def _executor() -> concurrent.futures.ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = concurrent.futures.ThreadPoolExecutor(MAX_THREADS, thread_name_prefix="biometric_keys.aio")
            # Before the pool's own hook, which joins its threads: the later one runs first.
            register = getattr(threading, "_register_atexit", None)
            if register is not None:
                register(_cancel_running)
        return _pool


def _call(token: Any, call: Callable[[], _T]) -> _T:
    if token is not None:
        with _pool_lock:
            _running.add(token)
    try:
        return call()
    finally:
        if token is not None:
            with _pool_lock:
                _running.discard(token)


async def _run(call: Callable[..., _T], *args: Any, cancellable: bool = True, **kwargs: Any) -> _T:
    # Imported here: importing biometric_keys, which imports this module, stays cheap.
    import asyncio

    token = None
    if cancellable:
        if kwargs.get("cancel") is None:
            kwargs["cancel"] = _keys().CancelToken()
        # Anything else the call itself refuses, with its TypeError.
        if isinstance(kwargs["cancel"], _keys().CancelToken):
            token = kwargs["cancel"]
    submitted = _executor().submit(_call, token, functools.partial(call, *args, **kwargs))
    future = asyncio.wrap_future(submitted)
    try:
        return await asyncio.shield(future)
    except asyncio.CancelledError:
        # Still waiting for a thread: it never starts, and there is nothing to settle.
        if submitted.cancel():
            raise
        if token is not None:
            token.cancel()
        # The request settles before the cancellation goes on, however often the task is
        # cancelled meanwhile; its own outcome (RequestCancelledError, or a result that
        # came first) gives way to the cancellation.
        while not future.done():
            try:
                await asyncio.shield(future)
            except BaseException:
                pass
        if not future.cancelled():
            future.exception()  # retrieved: not reported as never retrieved
        raise


async def public_key(key_name: str) -> bytes:
    return await _run(_keys().public_key, key_name, cancellable=False)


async def delete(key_name: str) -> None:
    return await _run(_keys().delete, key_name, cancellable=False)


async def is_supported() -> bool:
    return await _run(_keys().is_supported, cancellable=False)


async def create(name: str, *, replace: bool = False, window: int | None = None, timeout: float | None = None,
                 cancel: CancelToken | None = None) -> bytes:
    return await _run(_keys().create, name, replace=replace, window=window, timeout=timeout, cancel=cancel)


async def sign(key_name: str, data: bytes, *, window: int | None = None, timeout: float | None = None,
               cancel: CancelToken | None = None) -> bytes:
    return await _run(_keys().sign, key_name, data, window=window, timeout=timeout, cancel=cancel)


async def availability() -> Literal["available", "device_not_present", "not_configured_for_user",
                                    "disabled_by_policy", "device_busy"]:
    return await _run(_keys().availability, cancellable=False)


async def verify_user(message: str, *, window: int | None = None, timeout: float | None = None,
                      cancel: CancelToken | None = None) -> Literal["verified", "device_not_present", "not_configured_for_user",
                                                     "disabled_by_policy", "device_busy", "retries_exhausted",
                                                     "canceled"]:
    return await _run(_keys().verify_user, message, window=window, timeout=timeout, cancel=cancel)


async def attestation(key_name: str) -> Attestation:
    return await _run(_keys().attestation, key_name, cancellable=False)


async def seal(key_name: str, secret: bytes, *, window: int | None = None, timeout: float | None = None,
               cancel: CancelToken | None = None) -> bytes:
    return await _run(_keys().seal, key_name, secret, window=window, timeout=timeout, cancel=cancel)


async def unseal(key_name: str, envelope: bytes, *, window: int | None = None, timeout: float | None = None,
                 cancel: CancelToken | None = None) -> bytes:
    return await _run(_keys().unseal, key_name, envelope, window=window, timeout=timeout, cancel=cancel)
