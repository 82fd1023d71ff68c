"""The bounded hand-over from the library's worker threads to the consumer.

When it is full, a worker that delivers one more spectrum waits until the
consumer takes one (back-pressure): no spectrum is dropped, memory stays
bounded by the capacity plus one spectrum per device, and the devices simply
measure at the consumer's pace, since every continuous measurement is
started by its worker. Closing the hand-over wakes every waiting worker at
once and makes it drop what it carries, so that stopping never waits for
the consumer.
"""

from __future__ import annotations

import collections
import threading
from typing import Deque, Generic, Optional, TypeVar

__all__ = ["Handover", "Empty"]

T = TypeVar("T")


class Empty(Exception):
    """Nothing arrived within the time-out."""


class Handover(Generic[T]):
    """A bounded, closable FIFO between producer threads and one consumer."""

    def __init__(self, capacity: int) -> None:
        if capacity < 1:
            raise ValueError(f"queue size must be at least 1, not {capacity}")
        self._capacity = capacity
        self._items: Deque[T] = collections.deque()
        self._closed = False
        self._lock = threading.Lock()
        self._not_empty = threading.Condition(self._lock)
        self._not_full = threading.Condition(self._lock)

    @property
    def capacity(self) -> int:
        return self._capacity

    @property
    def closed(self) -> bool:
        return self._closed

    def put(self, item: T, *, bounded: bool = True) -> bool:
        """Adds an item, waiting while the hand-over is full.

        ``bounded=False`` never waits (for the few reports that must not be
        held up behind spectra, such as a device's failure). Returns False
        when the hand-over is closed; the item is then dropped.
        """
        with self._lock:
            while bounded and len(self._items) >= self._capacity and not self._closed:
                self._not_full.wait()
            if self._closed:
                return False
            self._items.append(item)
            self._not_empty.notify()
            return True

    def get(self, timeout: Optional[float]) -> T:
        """The oldest item; raises Empty after ``timeout`` seconds or once closed and empty."""
        with self._lock:
            if not self._items and not self._closed:
                self._not_empty.wait(timeout)
            if not self._items:
                raise Empty
            item = self._items.popleft()
            self._not_full.notify()
            return item

    def close(self) -> None:
        """Refuses further items and wakes every waiting thread; queued items are dropped."""
        with self._lock:
            self._closed = True
            self._items.clear()
            self._not_full.notify_all()
            self._not_empty.notify_all()

    def __len__(self) -> int:
        with self._lock:
            return len(self._items)
