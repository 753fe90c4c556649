"""Which rows or columns of a long table are shown."""

import operator


def get_sel(count, maximum):
    """Split ``count`` items into a shown head and tail of at most ``maximum`` items.

    Returns ``(ranges, shown)``. ``ranges`` is ``(head, tail)``, each a tuple of ``range()``
    arguments; ``shown`` is the number of items in both together.

    - ``maximum`` None or 0 means no limit; so does a ``count`` that fits. Then the result is
      ``((0, count), (0, 0)), count``: the tail is the empty marker ``(0, 0)``.
    - Otherwise the head takes ceil(maximum / 2) items and the tail floor(maximum / 2), taken
      from the end: ``((0, head), (count - tail, count)), maximum``. The tail is never
      ``(0, 0)`` here, even when it is empty (maximum 1), so callers still see the cut.
    - A negative ``count`` or ``maximum`` raises ValueError; non-integers raise TypeError.
    """
    count = operator.index(count)
    if count < 0:
        raise ValueError(f"item count must not be negative, got {count}")
    limit = None if maximum is None else operator.index(maximum)
    if limit is not None and limit < 0:
        raise ValueError(f"maximum must be None, 0 (no limit) or positive, got {limit}")
    if not limit or count <= limit:
        return ((0, count), (0, 0)), count
    head = (limit + 1) // 2
    tail = limit // 2
    return ((0, head), (count - tail, count)), limit
