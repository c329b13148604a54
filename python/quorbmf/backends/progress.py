"""The progress bar over the blocks of a long half-step, for every backend:
tqdm when it is installed, a plain line on stderr otherwise, shown only
once the work has run longer than a second and only when asked for."""
from __future__ import annotations

import sys
import time
from types import TracebackType
from typing import Any, Optional, Type

__all__ = ["Progress"]

# A half-step that runs longer than this gets a progress bar (verbose only).
_PROGRESS_AFTER_S = 1.0


class _Bar:
    def __init__(self, total: int, label: str) -> None:
        self.total, self.done, self.label = total, 0, label
        try:
            from tqdm.auto import tqdm
        except ImportError:
            self.bar: Any = None
        else:
            self.bar = tqdm(total=total, desc=label, unit="block", leave=False)

    def update(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        else:
            sys.stderr.write(f"\r{self.label}: {self.done}/{self.total} blocks")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        else:
            sys.stderr.write("\n")


class Progress:
    """Watches ``total`` blocks labelled ``label``: told how many are done
    as they finish, it shows a bar once the work has run longer than
    ``_PROGRESS_AFTER_S`` (when ``show``), and closes it on leaving."""

    def __init__(self, total: int, label: str, show: bool) -> None:
        self.total, self.label = total, label
        self.show = bool(show and label)
        self.start = time.perf_counter()
        self.bar: Optional[_Bar] = None

    def done(self, count: int) -> None:
        """Records that ``count`` blocks in all are done."""
        if not self.show:
            return
        if self.bar is None:
            if time.perf_counter() - self.start > _PROGRESS_AFTER_S:
                self.bar = _Bar(self.total, self.label)
                self.bar.update(count)
        elif count > self.bar.done:
            self.bar.update(count - self.bar.done)

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if self.bar is not None:
            self.bar.close()
