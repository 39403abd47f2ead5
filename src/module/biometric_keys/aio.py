"""biometric_keys.aio: the calls of biometric_keys as coroutine functions for asyncio.

Each has the name, parameters and result of the blocking call and runs it on a thread of
a dedicated pool, so that the event loop goes on. Cancelling the task (task.cancel(),
asyncio.timeout(), wait_for, a failing TaskGroup) cancels the platform's request through a
CancelToken, waits until the request has settled, and then raises CancelledError: after
that no prompt is up and nothing more is created or signed. A `cancel` token given to a
call is the one that the task's cancellation cancels (with every other call that shares
it); without one, each call has its own. A request that took effect before it could be
cancelled is not undone: the cancellation still propagates, as asyncio requires, and a
credential made that way is the one public_key returns.

The pool has up to MAX_THREADS threads, made as calls need them: that many requests can
wait for the user at once; more wait for a thread, and one cancelled while it waits is
cancelled at once. A thread that has had nothing to do for five seconds leaves: calls made
one at a time keep one thread, and a burst leaves none behind. A child of os.fork() (and
of a multiprocessing pool that forks) starts with a pool of its own. When the interpreter
exits, the requests still running are cancelled, and those still waiting for a thread
never start, so that exiting does not wait for the user.
"""

from __future__ import annotations

import collections
import concurrent.futures
import functools
import os
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Literal, TypeVar

if TYPE_CHECKING:
    from biometric_keys import Attestation, CancelToken

__all__ = ["public_key", "delete", "is_supported", "create", "sign", "availability", "verify_user", "attestation",
           "seal", "unseal", "MAX_THREADS"]

MAX_THREADS = 256
# How long a thread of the pool waits for another call before it leaves (the docstring's
# five seconds).
_IDLE_SECONDS = 5.0

_T = TypeVar("_T")


class _Pool:
    """Threads made when a call finds none free, which leave after _IDLE_SECONDS without work.

    concurrent.futures.ThreadPoolExecutor keeps every thread it ever made until shutdown.
    """

    def __init__(self, max_threads: int = MAX_THREADS) -> None:
        self._max_threads = max_threads
        self._ready = threading.Condition(threading.Lock())
        self._queue: collections.deque[tuple[concurrent.futures.Future[Any], Callable[[], Any]]] = \
            collections.deque()
        self._threads = 0
        # Threads that look at the queue before they wait again: idle ones, and those that
        # have finished a call and not yet come back for the next.
        self._free = 0
        self._closed = False

    def submit(self, call: Callable[..., _T], *args: Any) -> concurrent.futures.Future[_T]:
        future: concurrent.futures.Future[_T] = concurrent.futures.Future()
        item = (future, functools.partial(call, *args))
        with self._ready:
            if self._closed:
                raise RuntimeError("cannot schedule new futures after interpreter shutdown")
            self._queue.append(item)
            if len(self._queue) <= self._free:
                self._ready.notify()
                return future
            if self._threads >= self._max_threads:
                return future  # taken by the first thread to come free
            self._threads += 1
            self._free += 1
        try:
            # Not a daemon, whatever the caller's thread is: the exit waits for a call to
            # settle (cancelled by _at_exit) before the interpreter goes away under it.
            threading.Thread(target=self._serve, name="biometric_keys.aio", daemon=False).start()
        except BaseException:
            with self._ready:
                self._threads -= 1
                self._free -= 1
                try:
                    self._queue.remove(item)
                except ValueError:
                    return future  # another thread took it
            raise
        return future

    def close(self) -> None:
        """Sends the idle threads away and cancels the calls still waiting for a thread."""
        with self._ready:
            self._closed = True
            waiting = list(self._queue)
            self._queue.clear()
            self._ready.notify_all()
        for future, _ in waiting:
            future.cancel()

    def _serve(self) -> None:
        while self._serve_one():
            pass

    def _serve_one(self) -> bool:
        # One call per invocation, so that nothing of it (a result, an exception and its
        # frames) stays referenced while the thread waits for the next.
        deadline = time.monotonic() + _IDLE_SECONDS
        with self._ready:
            while not self._queue:
                remaining = deadline - time.monotonic()
                if self._closed or remaining <= 0:
                    self._threads -= 1
                    self._free -= 1
                    return False
                self._ready.wait(remaining)
            future, call = self._queue.popleft()
            self._free -= 1
        if not future.set_running_or_notify_cancel():
            with self._ready:
                self._free += 1
            return True
        try:
            result = call()
        except BaseException as error:
            # Free before the caller hears of it: its next call finds this thread.
            with self._ready:
                self._free += 1
            future.set_exception(error)
        else:
            with self._ready:
                self._free += 1
            future.set_result(result)
        return True


_pool: Any = None  # a _Pool, made by the first call
_pool_lock = threading.Lock()
# The tokens of the calls that run on the pool now: cancelled when the interpreter exits,
# so that the exit, which waits for the pool's threads, is not kept by a prompt.
_running: set[Any] = set()
_exiting = False
_at_exit_registered = False


def _keys() -> Any:
    # The package of this interpreter, which is imported before its submodule.
    return sys.modules["biometric_keys"]


def _at_exit() -> None:
    global _exiting
    with _pool_lock:
        _exiting = True
        pool, tokens = _pool, list(_running)
    if isinstance(pool, _Pool):
        pool.close()
    for token in tokens:
        token.cancel()


def _forget_in_child() -> None:
    # The threads of the pool are not in the child, and a lock may have been held by one
    # of them: the child starts afresh. The hook registered at exit is the parent's, which
    # the child keeps.
    global _pool, _pool_lock, _running, _exiting
    _pool, _pool_lock, _running, _exiting = None, threading.Lock(), set(), False


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_in_child)


def _executor() -> Any:
    global _pool, _at_exit_registered
    with _pool_lock:
        if _pool is None:
            _pool = _Pool()
            # Run by threading before it joins the threads that are not daemons, which
            # the pool's are: they may be in the middle of a call.
            register = getattr(threading, "_register_atexit", None)
            if register is not None and not _at_exit_registered:
                register(_at_exit)
                _at_exit_registered = True
        return _pool


def _call(token: Any, call: Callable[[], _T]) -> _T:
    if token is not None:
        with _pool_lock:
            _running.add(token)
            exiting = _exiting
        # Started after the exit hook took its list of tokens: cancelled all the same.
        if exiting:
            token.cancel()
    try:
        return call()
    finally:
        if token is not None:
            with _pool_lock:
                _running.discard(token)


async def _run(call: Callable[..., _T], *args: Any, cancellable: bool = True, **kwargs: Any) -> _T:
    # Imported at the first call: importing this module stays cheap.
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
