"""The bounded hand-over's full-queue policy, without devices."""

from __future__ import annotations

import threading

import pytest

from conftest import STOP_BOUND_SECONDS, Stopwatch
from velmor._handover import Empty, Handover


def test_a_full_hand_over_holds_the_producer_until_the_consumer_takes_one():
    handover = Handover(2)
    assert handover.put(1) and handover.put(2)
    third_in = threading.Event()
    producer = threading.Thread(target=lambda: third_in.set() if handover.put(3) else None)
    producer.start()
    assert not third_in.wait(0.2) and len(handover) == 2
    assert handover.get(1) == 1
    assert third_in.wait(STOP_BOUND_SECONDS)
    producer.join()
    assert [handover.get(1), handover.get(1)] == [2, 3]
    # Unbounded reports pass a full hand-over, in order.
    handover.put(4)
    handover.put(5)
    handover.put("failure", bounded=False)
    assert [handover.get(0) for _ in range(3)] == [4, 5, "failure"]


def test_closing_wakes_every_waiting_producer_and_drops_what_they_carry():
    handover = Handover(1)
    handover.put("held")
    results = []
    producers = [threading.Thread(target=lambda: results.append(handover.put("late"))) for _ in range(3)]
    for producer in producers:
        producer.start()
    clock = Stopwatch()
    handover.close()
    for producer in producers:
        producer.join(STOP_BOUND_SECONDS)
    assert clock.elapsed() < STOP_BOUND_SECONDS and results == [False, False, False]
    assert handover.closed and len(handover) == 0
    with pytest.raises(Empty):
        handover.get(None)  # closed and empty: at once, not forever
    assert handover.put("after", bounded=False) is False


def test_an_empty_hand_over_times_out():
    clock = Stopwatch()
    with pytest.raises(Empty):
        Handover(3).get(0.05)
    assert 0.04 < clock.elapsed() < STOP_BOUND_SECONDS
    with pytest.raises(ValueError):
        Handover(0)
