"""Signs in from an asyncio program, and cancels a sign-in that the user leaves waiting,
while the event loop goes on serving (here: a ticker).

    BIOMETRIC_STANDIN_DELAY_MS=2000 python examples/async_sign_in.py

`biometric_keys.aio` runs each call on a thread of its own pool. Cancelling the task, here
through `asyncio.timeout`, cancels the platform's request, waits until it has settled, and
then raises: no prompt is left up, and no signature appears later.
"""
import asyncio
import secrets

from biometric_keys import aio

NAME = "biometric-async-demo"


async def ticker(ticks: list[int]) -> None:
    while True:
        await asyncio.sleep(0.01)
        ticks[0] += 1


async def main() -> None:
    ticks = [0]
    tick = asyncio.create_task(ticker(ticks))
    await aio.create(NAME, replace=True)
    try:
        signature = await aio.sign(NAME, secrets.token_bytes(32))
        print(f"signed in: {len(signature)}-byte signature; the loop ticked {ticks[0]} times meanwhile")
        # The user takes too long this time: the deadline cancels the request.
        try:
            async with asyncio.timeout(0.1):
                await aio.sign(NAME, secrets.token_bytes(32))
            print("signed in again")
        except TimeoutError:
            print("the second sign-in was cancelled after 0.1 s")
    finally:
        tick.cancel()
        await aio.delete(NAME)


if __name__ == "__main__":
    asyncio.run(main())
