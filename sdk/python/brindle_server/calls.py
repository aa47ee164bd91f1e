"""Calling an author's handler: `async def` ones on the event loop, plain ones in the thread
pool, so that a blocking handler never stalls the other connections."""

import asyncio
import collections.abc
import contextvars
import dataclasses
import inspect

_current = contextvars.ContextVar("brindle_server_call")


@dataclasses.dataclass(frozen=True)
class Call:
    """The request a handler is running for: which connection sent it and which method it is."""

    connection: int
    method: str
    executor: object = dataclasses.field(repr=False, compare=False)


def current_call():
    """The Call of the request being handled (in handlers, plain or async)."""
    return _current.get()


def enter(call):
    _current.set(call)


def _run_plain(handler, args):
    result = handler(*args)
    # A generator's body runs as it is consumed: consume it here, off the event loop.
    if isinstance(result, collections.abc.Iterator):
        return list(result)
    return result


async def call_handler(handler, *args):
    """The handler's result. Async generators and iterators come back as lists."""
    if inspect.isasyncgenfunction(handler):
        return [entry async for entry in handler(*args)]
    if inspect.iscoroutinefunction(handler):
        return await handler(*args)
    loop = asyncio.get_running_loop()
    context = contextvars.copy_context()
    result = await loop.run_in_executor(current_call().executor, context.run, _run_plain, handler, args)
    if inspect.isawaitable(result):
        result = await result
    elif inspect.isasyncgen(result):
        result = [entry async for entry in result]
    return result
